#include "gui/ItemPreviews.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QWindow>
#include <QVBoxLayout>
#include <algorithm>

#include "fs/VolumeItem.h"
#include "gui/Engine.h"
#include "gui/PreviewWorker.h"
#include "gui/StringTable.h"
#include "gui/TableAdapter.h"
#include "gui/WindowZoom.h"

namespace vorn::gui {

namespace {
constexpr u64 kGatedPiece = 256 * 1024;
constexpr int kGateWaitMs = 50;
}  // namespace

ViewerWindow::ViewerWindow(QWidget* parent) : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint) {
    setObjectName(QStringLiteral("viewerWindow"));
    setWindowTitle(uiStrings().text(QStringLiteral("FileViewer")));
    image = new QLabel;
    image->setObjectName(QStringLiteral("imageView"));
    image->setAlignment(Qt::AlignCenter);
    image->setFixedSize(320, 320);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(image);
    adjustSize();
}

QPoint ViewerWindow::lowerRightFor(const QRect& available, const QSize& size, const QMargins& frame) {
    const int width = size.width() + frame.left() + frame.right();
    const int height = size.height() + frame.top() + frame.bottom();
    return QPoint(std::max(available.left(), available.right() + 1 - width - 5),
                  std::max(available.top(), available.bottom() + 1 - height - 5));
}

QMargins ViewerWindow::frameMargins() const {
    if (const QWindow* handle = windowHandle()) return handle->frameMargins();
    return QMargins();
}

void ViewerWindow::placeAtLowerRight() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    // A top-level window's position is its frame's.
    move(lowerRightFor(screen->availableGeometry(), isVisible() ? size() : sizeHint(), frameMargins()));
}

void ViewerWindow::keepInside() {
    const QScreen* shownOn = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!shownOn) return;
    const QRect available = shownOn->availableGeometry();
    const QRect frame = frameGeometry();
    if (available.contains(frame)) return;
    const int x = std::max(available.left(), std::min(frame.left(), available.right() + 1 - frame.width()));
    const int y = std::max(available.top(), std::min(frame.top(), available.bottom() + 1 - frame.height()));
    move(x, y);
}

void ViewerWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    keepInside();
    // The window manager tells the frame's size after mapping the window.
    QTimer::singleShot(100, this, &ViewerWindow::keepInside);
}

ItemPreviews::ItemPreviews(Engine* engine, TableAdapter* table, QTableView* tableView, QTabWidget* tabs, QWidget* window)
    : QObject(window), engine(engine), table(table), tableView(tableView), tabs(tabs), window(window) {
    qInfo("%s", qUtf8Printable(Preview::versionLine()));
    grid = new AGThumbnailView;
    grid->setObjectName(QStringLiteral("thumbView"));
    grid->setDataSource(this);
    viewerWindow = new ViewerWindow(window);
    viewerWindow->placeAtLowerRight();
    viewerWidth = viewerWindow->imageView()->width();
    viewerHeight = viewerWindow->imageView()->height();
    zoomer = new WindowZoom(this);
    viewerWorker = new PreviewWorker([this](int row, u64 generation) {
        return build(row, QSize(viewerWidth.load(), viewerHeight.load()),
                     [this, generation] { return viewerWorker->isCurrent(generation); });
    }, this);
    connect(viewerWorker, &PreviewWorker::built, this, [this](quint64 generation, int row, const PreviewResult& result) {
        if (!viewerWorker->isCurrent(generation) || row != viewerRow) return;
        QLabel* label = viewerWindow->imageView();
        const QImage image = Preview::imageForResult(result, label->width(), label->height());
        label->setPixmap(image.isNull() ? QPixmap() : QPixmap::fromImage(image));
        emit viewerUpdated(row);
    });

    auto reloadGrid = [this] {
        if (onTab("thumb")) grid->reloadData();
    };
    connect(table, &QAbstractItemModel::modelReset, this, [this, reloadGrid] {
        reloadGrid();
        showInViewer(-1);
    });
    connect(table, &QAbstractItemModel::rowsInserted, this, reloadGrid);
    connect(table, &QAbstractItemModel::dataChanged, grid->viewport(), qOverload<>(&QWidget::update));
    connect(tabs, &QTabWidget::currentChanged, this, [this] { grid->reloadData(); });
    connect(tableView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &ItemPreviews::tableViewSelectionDidChange);
}

ItemPreviews::~ItemPreviews() { stop(); }

void ItemPreviews::stop() {
    if (grid) grid->stopWorker();
    viewerWorker->stop();
}

bool ItemPreviews::onTab(const char* identifier) const {
    return tabs->tabBar()->tabData(tabs->currentIndex()).toString() == QLatin1String(identifier);
}

void ItemPreviews::setFolder(VolumeItem* item, u64 engineGeneration) {
    QMutexLocker lock(&folderMutex);
    folder = Folder{item, engineGeneration};
}

bool ItemPreviews::enterGate(const std::function<bool()>& current) {
    EngineGate& gate = engine->gate();
    while (!engine->stopping() && current()) {
        if (gate.tryEnterFor(kGateWaitMs)) return true;
    }
    return false;
}

PreviewResult ItemPreviews::build(int row, QSize size, const std::function<bool()>& current) {
    Folder shown;
    {
        QMutexLocker lock(&folderMutex);
        shown = folder;
    }
    if (!shown.item || row < 0) return PreviewResult();
    EngineGate& gate = engine->gate();
    // Still the results and the request it was made for.
    auto valid = [this, shown, &current] { return engine->generation() == shown.generation && current(); };
    if (!enterGate(current)) return PreviewResult();
    VolumeItem* child = valid() ? shown.item->getChild(u32(row), true) : nullptr;
    PreviewItem item;
    if (child) {
        item.container = child->isContainer();
        item.deleted = child->isDeleted();
        item.name = child->getName();
        item.size = child->boundedSize();
    }
    gate.leave();
    if (!child) return PreviewResult();
    item.read = [this, child, valid, current](u64 ofs, char* buf, u64 len) {
        u64 done = 0;
        while (done < len) {
            const u32 piece = u32(std::min(kGatedPiece, len - done));
            if (!enterGate(current)) break;
            const bool ok = valid();
            if (ok) child->read(ofs + done, buf + done, piece);
            engine->gate().leave();
            if (!ok) break;
            done += piece;
        }
        return done;
    };
    return Preview::getFilePreview(item, size.width(), size.height());
}

int ItemPreviews::thumbCount() { return onTab("thumb") && table->hasModel() ? table->rowCount() : 0; }

PreviewResult ItemPreviews::thumbAtIndex(int index, QSize size, u64 generation) {
    return build(index, size, [this, generation] { return grid->isCurrent(generation); });
}

QString ItemPreviews::thumbHeaderAtIndex(int index) {
    return index < 0 ? QString() : table->data(table->index(index, 0)).toString();
}

QString ItemPreviews::thumbFooterAtIndex(int index) { return thumbHeaderAtIndex(index); }

void ItemPreviews::thumbViewSelectionDidChange() {
    if (!onTab("thumb")) return;
    QList<int> indexes = grid->selectedIndexes().values();
    std::sort(indexes.begin(), indexes.end());
    QItemSelection rows;
    for (int index : indexes) rows.select(table->index(index, 0), table->index(index, table->columnCount() - 1));
    tableView->selectionModel()->select(rows, QItemSelectionModel::ClearAndSelect);
    if (viewerWindow->isVisible()) showInViewer(indexes.isEmpty() ? -1 : indexes.first());
}

void ItemPreviews::tableViewSelectionDidChange() {
    if (!onTab("table") || !viewerWindow->isVisible()) return;
    const QModelIndexList rows = tableView->selectionModel()->selectedRows();
    int row = -1;
    const QModelIndex current = tableView->selectionModel()->currentIndex();
    if (current.isValid() && tableView->selectionModel()->isRowSelected(current.row(), QModelIndex())) {
        row = current.row();
    } else if (!rows.isEmpty()) {
        row = rows.first().row();
    }
    showInViewer(row);
}

void ItemPreviews::showInViewer(int row) {
    viewerRow = row;
    viewerWorker->reset({});
    if (row < 0) {
        viewerWindow->imageView()->setPixmap(QPixmap());
        emit viewerUpdated(-1);
        return;
    }
    viewerWorker->request({row});
}

void ItemPreviews::toggleViewer(QWidget* button) {
    const QRect rect = button ? QRect(button->mapToGlobal(QPoint(0, 0)), button->size()) : QRect();
    if (!viewerWindow->isVisible()) {
        zoomer->zoomOnFromRect(viewerWindow, rect);
        if (window) window->activateWindow();
        // Filled at once; the picture lands when built.
        if (onTab("thumb")) {
            QList<int> indexes = grid->selectedIndexes().values();
            std::sort(indexes.begin(), indexes.end());
            showInViewer(indexes.isEmpty() ? -1 : indexes.first());
        } else {
            const QModelIndexList rows = tableView->selectionModel()->selectedRows();
            showInViewer(rows.isEmpty() ? -1 : rows.first().row());
        }
    } else {
        zoomer->zoomOffToRect(viewerWindow, rect);
    }
}

}  // namespace vorn::gui
