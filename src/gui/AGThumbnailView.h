// The thumbnail grid: the items of the selected folder as square cells of
// 160 x 160, each with its picture and its name above and below.
//
// Drawing never waits for a picture: a cell without one is drawn empty and
// asks the worker for it; the misses of one paint are queued so that the
// top-left cell is built first, ahead of older requests. A reload starts a
// new generation, queues the first 1,000 cells and empties cache, queue and
// selection; results of older generations are dropped. Pictures are kept in
// a cache bounded in bytes (about 128 MiB); an evicted cell is built again
// when it is drawn.
//
// Selection: a click selects the cell alone (Ctrl toggles it in the
// selection), a drag selects what the rubber band touches, a click outside
// every cell clears the selection.
//
// Ownership: the data source is not owned; the worker is, and is stopped
// and joined with the view (or earlier by stopWorker()).
#pragma once

#include <QAbstractScrollArea>
#include <QHash>
#include <QImage>
#include <QSet>
#include <atomic>
#include <list>

#include "gui/Preview.h"
#include "misc/Types.h"

namespace vorn::gui {

class PreviewWorker;

class AGThumbnailViewDataSource {
public:
    virtual int thumbCount() = 0;
    // On the worker thread: the picture of a cell of the given generation,
    // at most size; empty when there is none (or the generation is gone).
    virtual PreviewResult thumbAtIndex(int index, QSize size, u64 generation) = 0;
    virtual QString thumbHeaderAtIndex(int index) = 0;
    virtual QString thumbFooterAtIndex(int index) = 0;
    virtual void thumbViewSelectionDidChange() = 0;

protected:
    ~AGThumbnailViewDataSource() = default;
};

class AGThumbnailView : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int kQueuedPerReload = 1000;
    static constexpr qint64 kCacheBytes = 128LL << 20;

    explicit AGThumbnailView(QWidget* parent = nullptr);
    ~AGThumbnailView() override;

    void setDataSource(AGThumbnailViewDataSource* source) { dataSource = source; }
    AGThumbnailViewDataSource* getDataSource() const { return dataSource.load(); }
    void reloadData();
    void initFrameSize();
    // Cells in document coordinates: row 0 at the top.
    QRect rectForIndex(int index) const;
    int indexForPoint(const QPoint& documentPoint) const;
    QRect selectionRectangle() const;
    int frameHeight() const { return documentHeight; }
    int columns() const { return cols; }
    int rowCount() const { return rows; }
    int count() const { return thumbCount; }

    void selectAll();
    void selectIndexes(const QSet<int>& indexes, bool extend);
    const QSet<int>& selectedIndexes() const { return selected; }
    void scrollToIndex(int index);

    // True while generation is the view's current one (any thread).
    bool isCurrent(u64 generation) const;
    u64 generation() const;
    bool cached(int index) const { return cache.contains(index); }
    QImage cachedImage(int index) const { return cache.value(index).image; }
    qint64 cacheBytes() const { return cacheUsed; }
    PreviewWorker* worker() const { return builder; }
    void stopWorker();

signals:
    // Escape was pressed.
    void killOptionalUIElements();
    // A picture arrived and was cached.
    void thumbnailReady(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    struct Entry {
        QImage image;
        std::list<int>::iterator use;
    };

    QPoint toDocument(const QPoint& viewportPoint) const;
    // The cached picture (marked as used), or null after queueing a miss.
    const QImage* requestThumbnail(int index, std::vector<int>* misses);
    void store(quint64 generation, int index, const PreviewResult& result);
    void updateScrollBar();
    void updateTracking();

    std::atomic<AGThumbnailViewDataSource*> dataSource{nullptr};
    PreviewWorker* builder = nullptr;
    QHash<int, Entry> cache;
    std::list<int> uses;  // least recently drawn first
    qint64 cacheUsed = 0;
    QSet<int> selected;
    QSet<int> tracking;
    int thumbCount = 0;
    int thumbWidth = 160;
    int thumbHeight = 160;
    int cols = 0;
    int rows = 0;
    int documentHeight = 0;
    bool mouseDown = false;
    QPoint mouseDownPoint;
    QPoint mouseCurrentPoint;
};

}  // namespace vorn::gui
