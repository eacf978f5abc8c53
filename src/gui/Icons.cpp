#include "gui/Icons.h"

#include <QHash>
#include <QPainter>
#include <QPixmap>

#include "misc/TreeModelInterface.h"

namespace vorn::gui {

namespace {

// A lost or deleted item: the plain icon with a red cross in its corner.
QIcon badged(const QIcon& base) {
    QIcon icon;
    for (int size : {16, 24, 32, 48}) {
        QPixmap pixmap = base.pixmap(size, size);
        if (pixmap.isNull()) {
            pixmap = QPixmap(size, size);
            pixmap.fill(Qt::transparent);
        }
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal r = size * 0.22;
        const QPointF c(size - r - 1, size - r - 1);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(200, 30, 30));
        painter.drawEllipse(c, r, r);
        painter.setPen(QPen(Qt::white, qMax(1.0, size / 16.0)));
        const qreal d = r * 0.5;
        painter.drawLine(c + QPointF(-d, -d), c + QPointF(d, d));
        painter.drawLine(c + QPointF(-d, d), c + QPointF(d, -d));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon make(int number) {
    switch (number) {
        case ICON_FOLDER_CLOSED: return themeIcon("folder");
        case ICON_FOLDER_OPEN: return themeIcon("folder-open");
        case ICON_FILE: return themeIcon("text-x-generic");
        case ICON_DELETED_FILE: return badged(themeIcon("text-x-generic"));
        case ICON_DELETED_FOLDER_OPEN: return badged(themeIcon("folder-open"));
        case ICON_DELETED_FOLDER_CLOSED: return badged(themeIcon("folder"));
        case ICON_FIXED_DISK: return themeIcon("drive-harddisk");
        case ICON_FIXED_DISK_LOST: return badged(themeIcon("drive-harddisk"));
        case ICON_OTHER_DISK: return themeIcon("drive-removable-media");
        case ICON_OTHER_DISK_LOST: return badged(themeIcon("drive-removable-media"));
        case ICON_PARTITION: return themeIcon("drive-multidisk");
        case ICON_PARTITION_LOST: return badged(themeIcon("drive-multidisk"));
        case ICON_SEARCH_RESULTS: return themeIcon("edit-find");
        default: return QIcon();
    }
}

}  // namespace

void useIconTheme() {
    QIcon::setThemeSearchPaths(QIcon::themeSearchPaths() << QStringLiteral("/usr/share/icons"));
    QIcon::setThemeName(QStringLiteral("Adwaita"));
}

QIcon themeIcon(const char* name) { return QIcon::fromTheme(QString::fromLatin1(name)); }

QIcon iconForNumber(int number) {
    static QHash<int, QIcon> cache;
    auto it = cache.find(number);
    if (it == cache.end()) it = cache.insert(number, make(number));
    return *it;
}

}  // namespace vorn::gui
