#include "gui/StringTable.h"

#include <QFile>
#include <QLocale>

// The resources live in a static library: they are registered by hand.
static void registerResources() { Q_INIT_RESOURCE(gui); }

namespace vorn::gui {

namespace {

QString resourceText(const QString& name) {
    static const bool registered = (registerResources(), true);
    (void)registered;
    QFile file(QStringLiteral(":/vorn/strings/%1.strings").arg(name));
    if (!file.open(QIODevice::ReadOnly)) return QString();
    return QString::fromUtf8(file.readAll());
}

}  // namespace

StringTable::StringTable(const QString& name) { addLines(resourceText(name)); }

void StringTable::addLines(const QString& text) {
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
        const qsizetype tab = line.indexOf(QLatin1Char('\t'));
        if (tab <= 0) continue;
        QString value = line.mid(tab + 1);
        value.replace(QStringLiteral("\\n"), QStringLiteral("\n"));
        texts.insert(line.left(tab), value);
    }
}

QString StringTable::text(const QString& key) const { return texts.value(key, key); }

QString StringTable::fill(const QString& pattern, const QStringList& args) {
    QString out;
    qsizetype next = 0;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern[i];
        if (c == QLatin1Char('%') && i + 1 < pattern.size()) {
            const QChar kind = pattern[i + 1];
            if (kind == QLatin1Char('%')) {
                out += QLatin1Char('%');
                ++i;
                continue;
            }
            if (kind == QLatin1Char('@') || kind == QLatin1Char('s')) {
                if (next < args.size()) out += args[next];
                ++next;
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

QString StringTable::format(const QString& key, const QStringList& args) const { return fill(text(key), args); }

const StringTable& uiStrings() {
    static const StringTable table = [] {
        StringTable t(QStringLiteral("en"));
        const QString language = QLocale::system().name().section(QLatin1Char('_'), 0, 0);
        if (language != QLatin1String("en")) t.addLines(resourceText(language));
        return t;
    }();
    return table;
}

const StringTable& appInfo() {
    static const StringTable table(QStringLiteral("info"));
    return table;
}

}  // namespace vorn::gui
