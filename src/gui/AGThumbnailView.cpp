#include "gui/AGThumbnailView.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <algorithm>

#include "gui/ImageScaling.h"
#include "gui/PreviewWorker.h"

namespace vorn::gui {

namespace {
// An empty picture still costs its entry.
constexpr qint64 kEntryBytes = 256;
}  // namespace

AGThumbnailView::AGThumbnailView(QWidget* parent) : QAbstractScrollArea(parent) {
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setAutoFillBackground(false);
    verticalScrollBar()->setSingleStep(thumbHeight / 4);
    builder = new PreviewWorker([this](int index, u64 generation) {
        PreviewResult result;
        AGThumbnailViewDataSource* source = dataSource.load();
        if (!source || !isCurrent(generation)) return result;
        result = source->thumbAtIndex(index, QSize(thumbWidth, thumbHeight), generation);
        if (!result.image.isNull())
            result.image = imageByScalingProportionallyToSize(result.image, QSize(thumbWidth, thumbHeight));
        return result;
    }, this);
    connect(builder, &PreviewWorker::built, this, &AGThumbnailView::store);
}

AGThumbnailView::~AGThumbnailView() { stopWorker(); }

void AGThumbnailView::stopWorker() {
    if (builder) builder->stop();
}

bool AGThumbnailView::isCurrent(u64 generation) const { return builder->isCurrent(generation); }

u64 AGThumbnailView::generation() const { return builder->generation(); }

void AGThumbnailView::reloadData() {
    cache.clear();
    uses.clear();
    cacheUsed = 0;
    selected.clear();
    tracking.clear();
    cols = rows = 0;
    AGThumbnailViewDataSource* source = dataSource.load();
    thumbCount = source ? std::max(0, source->thumbCount()) : 0;
    std::vector<int> queue;
    for (int i = 0; i < std::min(thumbCount, kQueuedPerReload); ++i) queue.push_back(i);
    builder->reset(queue);
    initFrameSize();
    updateScrollBar();
    viewport()->update();
}

void AGThumbnailView::initFrameSize() {
    const int width = viewport()->width();
    const int c = width / (thumbWidth > 0 ? thumbWidth : 160);
    if (c == cols) return;
    cols = std::max(c, 1);
    rows = (thumbCount + cols - 1) / cols;
    updateScrollBar();
    verticalScrollBar()->setValue(0);
    viewport()->update();
}

void AGThumbnailView::updateScrollBar() {
    documentHeight = std::max(rows * thumbHeight, viewport()->height());
    verticalScrollBar()->setPageStep(viewport()->height());
    verticalScrollBar()->setRange(0, documentHeight - viewport()->height());
}

QRect AGThumbnailView::rectForIndex(int index) const {
    const int c = std::max(cols, 1);
    return QRect(index % c * thumbWidth, index / c * thumbHeight, thumbWidth, thumbHeight);
}

int AGThumbnailView::indexForPoint(const QPoint& p) const {
    if (p.x() < 0 || p.y() < 0) return -1;
    const int row = p.y() / (thumbHeight > 0 ? thumbHeight : 160);
    const int column = p.x() / (thumbWidth > 0 ? thumbWidth : 160);
    if (row >= rows || column >= cols) return -1;
    const int index = row * cols + column;
    return index < thumbCount ? index : -1;
}

QRect AGThumbnailView::selectionRectangle() const {
    return QRect(std::min(mouseDownPoint.x(), mouseCurrentPoint.x()), std::min(mouseDownPoint.y(), mouseCurrentPoint.y()),
                 std::abs(mouseDownPoint.x() - mouseCurrentPoint.x()), std::abs(mouseDownPoint.y() - mouseCurrentPoint.y()));
}

QPoint AGThumbnailView::toDocument(const QPoint& p) const { return p + QPoint(0, verticalScrollBar()->value()); }

const QImage* AGThumbnailView::requestThumbnail(int index, std::vector<int>* misses) {
    auto it = cache.find(index);
    if (it == cache.end()) {
        misses->push_back(index);
        return nullptr;
    }
    uses.splice(uses.end(), uses, it->use);
    return &it->image;
}

void AGThumbnailView::store(quint64 generation, int index, const PreviewResult& result) {
    if (!isCurrent(generation)) return;
    // Icons come as names: resolved here, on the UI thread.
    QImage image = result.image;
    if (image.isNull() && result.icon != PreviewResult::NoIcon)
        image = imageByScalingProportionallyToSize(Preview::imageForResult(result, thumbWidth, thumbHeight),
                                                   QSize(thumbWidth, thumbHeight));
    auto old = cache.find(index);
    if (old != cache.end()) {
        cacheUsed -= std::max<qint64>(old->image.sizeInBytes(), kEntryBytes);
        uses.erase(old->use);
        cache.erase(old);
    }
    uses.push_back(index);
    cache.insert(index, Entry{image, std::prev(uses.end())});
    cacheUsed += std::max<qint64>(image.sizeInBytes(), kEntryBytes);
    while (cacheUsed > kCacheBytes && uses.size() > 1) {
        auto victim = cache.find(uses.front());
        cacheUsed -= std::max<qint64>(victim->image.sizeInBytes(), kEntryBytes);
        cache.erase(victim);
        uses.pop_front();
    }
    viewport()->update(rectForIndex(index).translated(0, -verticalScrollBar()->value()));
    emit thumbnailReady(index);
}

void AGThumbnailView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    painter.fillRect(event->rect(), Qt::white);
    if (thumbCount <= 0 || cols <= 0) return;
    const int top = verticalScrollBar()->value();
    const int firstRow = top / thumbHeight;
    const int lastRow = (top + viewport()->height() - 1) / thumbHeight;
    const int first = firstRow * cols;
    const int last = std::min(thumbCount - 1, (lastRow + 1) * cols - 1);
    const QRect band = selectionRectangle();
    AGThumbnailViewDataSource* source = dataSource.load();
    const QColor selectionColor = palette().color(QPalette::Highlight);
    std::vector<int> misses;
    painter.setRenderHint(QPainter::Antialiasing);
    for (int index = first; index <= last; ++index) {
        const QRect cell = rectForIndex(index).translated(0, -top);
        if (!cell.intersects(event->rect())) continue;
        const QImage* picture = requestThumbnail(index, &misses);
        QPainterPath box;
        box.addRoundedRect(QRectF(cell.adjusted(2, 2, -2, -2)), 8, 8);
        const bool isSelected = (mouseDown && rectForIndex(index).intersects(band)) || selected.contains(index);
        if (isSelected) {
            painter.fillPath(box, selectionColor);
            painter.strokePath(box, QPen(QColor(128, 128, 128)));
        } else {
            painter.fillPath(box, QColor(0, 0, 0, 51));
        }
        if (picture && !picture->isNull()) {
            const QRect area = centeredRectForSizeInRect(QSizeF(picture->size()), QRectF(cell.adjusted(5, 15, -5, -15)))
                                   .adjusted(5, 5, -5, -5);
            painter.fillRect(area.translated(2, 3), QColor(0, 0, 0, 60));
            painter.drawImage(area, *picture);
        }
        if (source) {
            painter.save();
            painter.setClipRect(cell);
            painter.setPen(isSelected ? Qt::white : Qt::black);
            const int line = painter.fontMetrics().height();
            painter.drawText(QRect(cell.left() + 10, cell.bottom() - 5 - line, thumbWidth - 20, line),
                             Qt::AlignLeft | Qt::TextSingleLine, source->thumbFooterAtIndex(index));
            painter.drawText(QRect(cell.left() + 10, cell.top() + 1, thumbWidth - 20, line),
                             Qt::AlignLeft | Qt::TextSingleLine, source->thumbHeaderAtIndex(index));
            painter.restore();
        }
    }
    if (mouseDown) {
        const QRect shown = band.translated(0, -top);
        painter.fillRect(shown, QColor(204, 204, 204, 128));
        painter.setPen(Qt::white);
        painter.drawRect(shown);
    }
    builder->request(misses);
}

void AGThumbnailView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    initFrameSize();
    updateScrollBar();
}

void AGThumbnailView::scrollContentsBy(int, int) { viewport()->update(); }

void AGThumbnailView::updateTracking() {
    tracking.clear();
    const QRect band = selectionRectangle();
    if (band.isEmpty() || cols <= 0) return;
    const int firstRow = std::max(0, band.top() / thumbHeight), lastRow = std::min(rows - 1, band.bottom() / thumbHeight);
    const int firstCol = std::max(0, band.left() / thumbWidth), lastCol = std::min(cols - 1, band.right() / thumbWidth);
    for (int row = firstRow; row <= lastRow; ++row)
        for (int col = firstCol; col <= lastCol; ++col)
            if (row * cols + col < thumbCount) tracking.insert(row * cols + col);
}

void AGThumbnailView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    mouseDown = true;
    mouseDownPoint = mouseCurrentPoint = toDocument(event->position().toPoint());
    const int index = indexForPoint(mouseDownPoint);
    if (!(event->modifiers() & Qt::ControlModifier)) {
        selected.clear();
        tracking.clear();
    }
    if (index >= 0) {
        if (!selected.remove(index)) selected.insert(index);
        if (AGThumbnailViewDataSource* source = dataSource.load()) source->thumbViewSelectionDidChange();
    }
    viewport()->update();
}

void AGThumbnailView::mouseMoveEvent(QMouseEvent* event) {
    if (!mouseDown) return;
    mouseCurrentPoint = toDocument(event->position().toPoint());
    updateTracking();
    viewport()->update();
}

void AGThumbnailView::mouseReleaseEvent(QMouseEvent* event) {
    if (!mouseDown || event->button() != Qt::LeftButton) return;
    mouseCurrentPoint = toDocument(event->position().toPoint());
    updateTracking();
    if (!tracking.isEmpty()) {
        selected.unite(tracking);
        if (AGThumbnailViewDataSource* source = dataSource.load()) source->thumbViewSelectionDidChange();
    }
    mouseDown = false;
    viewport()->update();
}

void AGThumbnailView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) emit killOptionalUIElements();
    event->accept();
}

void AGThumbnailView::selectAll() {
    if (thumbCount < 1) return;
    for (int i = 0; i < thumbCount; ++i) selected.insert(i);
    viewport()->update();
}

void AGThumbnailView::selectIndexes(const QSet<int>& indexes, bool extend) {
    if (!extend) selected.clear();
    selected.unite(indexes);
    if (AGThumbnailViewDataSource* source = dataSource.load()) source->thumbViewSelectionDidChange();
    viewport()->update();
}

void AGThumbnailView::scrollToIndex(int index) { verticalScrollBar()->setValue(rectForIndex(index).top()); }

}  // namespace vorn::gui
