// The window's previews: the thumbnail grid of the "thumb" tab and the
// floating viewer that follows the selected row or thumbnail.
//
// Both are built off the UI thread (the grid's worker and one of the
// viewer's own) from the folder the table shows. A worker reaches the
// engine only through the gate: it takes it to look the item up and then
// once per piece of the item's bytes it copies, and lets go in between;
// decoding and scaling run outside it. Under the gate it checks that
// neither the engine's results (the engine generation) nor the request (the
// grid's or viewer's generation) has moved on; a stale build stops there
// and its result is dropped.
//
// Ownership: owns the grid's data source role, the viewer window and both
// workers; the engine, the table and the tab widget are not owned.
#pragma once

#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include "gui/AGThumbnailView.h"
#include "gui/Preview.h"
#include "misc/Types.h"

class QLabel;
class QTabWidget;
class QTableView;

namespace vorn {
class VolumeItem;
}

namespace vorn::gui {

class Engine;
class PreviewWorker;
class TableAdapter;
class WindowZoom;

// The floating viewer: a tool window on top, at the lower right of the
// available screen. Its frame (the window manager's title bar and border,
// known once it has been shown) stays inside the available area.
class ViewerWindow : public QWidget {
    Q_OBJECT
public:
    explicit ViewerWindow(QWidget* parent = nullptr);
    QLabel* imageView() const { return image; }
    void placeAtLowerRight();
    // Moves the window back inside the available area of its screen.
    void keepInside();
    // Where a window of this size with this frame goes: its frame's top left
    // corner, 5 pixels in from the lower right of the available area.
    static QPoint lowerRightFor(const QRect& available, const QSize& size, const QMargins& frame);

protected:
    void showEvent(QShowEvent* event) override;

private:
    QMargins frameMargins() const;
    QLabel* image;
};

class ItemPreviews : public QObject, public AGThumbnailViewDataSource {
    Q_OBJECT
public:
    ItemPreviews(Engine* engine, TableAdapter* table, QTableView* tableView, QTabWidget* tabs, QWidget* window);
    ~ItemPreviews() override;

    AGThumbnailView* thumbView() const { return grid; }
    ViewerWindow* viewer() const { return viewerWindow; }
    WindowZoom* zoom() const { return zoomer; }
    // The folder the table shows, with the engine generation it belongs to.
    void setFolder(VolumeItem* folder, u64 engineGeneration);
    // Zooms the viewer on from or off to the button.
    void toggleViewer(QWidget* button);
    // Stops and joins both workers (before the engine goes).
    void stop();

    // The grid's data source.
    int thumbCount() override;
    PreviewResult thumbAtIndex(int index, QSize size, u64 generation) override;
    QString thumbHeaderAtIndex(int index) override;
    QString thumbFooterAtIndex(int index) override;
    void thumbViewSelectionDidChange() override;

    // The viewer follows the table's selection on the "table" tab.
    void tableViewSelectionDidChange();

signals:
    // The viewer shows the preview of this row (-1: emptied).
    void viewerUpdated(int row);

private:
    struct Folder {
        VolumeItem* item = nullptr;
        u64 generation = 0;
    };

    bool onTab(const char* identifier) const;
    void showInViewer(int row);
    PreviewResult build(int row, QSize size, const std::function<bool()>& current);
    // Waits for the gate while the request stays current.
    bool enterGate(const std::function<bool()>& current);

    Engine* engine;
    TableAdapter* table;
    QTableView* tableView;
    QTabWidget* tabs;
    QPointer<QWidget> window;
    QPointer<AGThumbnailView> grid;
    ViewerWindow* viewerWindow;
    WindowZoom* zoomer;
    PreviewWorker* viewerWorker;
    std::atomic<int> viewerWidth{0}, viewerHeight{0};
    int viewerRow = -1;
    mutable QMutex folderMutex;
    Folder folder;
};

}  // namespace vorn::gui
