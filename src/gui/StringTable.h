// The texts of the window, looked up by key: "key<TAB>text" lines from the
// application's resources, English first, then the user's language over it
// when there is a table for it. A missing key gives the key itself, so engine
// words without a text show as their keys. Read-only after construction, so
// any thread may look up (the engine thread translates its folder names).
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

namespace vorn::gui {

class StringTable {
public:
    // The table named name ("strings" or "info") from the resources.
    explicit StringTable(const QString& name = QStringLiteral("en"));
    // Adds the lines of text ("key<TAB>value", "#" comments); later keys win.
    void addLines(const QString& text);

    QString text(const QString& key) const;
    bool contains(const QString& key) const { return texts.contains(key); }
    // The text of key with "%@" and "%s" replaced by args in order; "%%" is "%".
    // The arguments are never read as formats themselves.
    QString format(const QString& key, const QStringList& args) const;
    static QString fill(const QString& pattern, const QStringList& args);

private:
    QHash<QString, QString> texts;
};

// The interface texts ("en" plus the user's language) and the facts about
// the application ("info"), loaded once.
const StringTable& uiStrings();
const StringTable& appInfo();

}  // namespace vorn::gui
