#include <gtest/gtest.h>

#include <QLabel>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableView>
#include <QTreeView>
#include <future>
#include <numeric>

#include "GuiTestSupport.h"
#include "gui/AGThumbnailView.h"
#include "gui/Engine.h"
#include "gui/ItemPreviews.h"
#include "gui/PreviewWorker.h"
#include "gui/TableAdapter.h"
#include "gui/TreeAdapter.h"
#include "gui/WindowZoom.h"

namespace vorn::test {
namespace {

using gui::PreviewResult;
using gui::PreviewWorker;

struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> order;
    bool holdFirst = false;
    bool inFirst = false;

    PreviewResult build(int index) {
        std::unique_lock<std::mutex> lock(mutex);
        order.push_back(index);
        if (order.size() == 1 && holdFirst) {
            inFirst = true;
            changed.notify_all();
            changed.wait(lock, [this] { return !holdFirst; });
        }
        changed.notify_all();
        PreviewResult result;
        result.image = QImage(1, 1, QImage::Format_RGB32);
        return result;
    }
    void waitCount(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return order.size() >= n; }));
    }
    void waitInFirst() {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return inFirst; }));
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        holdFirst = false;
        changed.notify_all();
    }
};

TEST(ThumbWorker, NewestRequestFirstAndTheQueueStaysFreeWhileBuilding) {
    Recorder recorder;
    PreviewWorker worker([&](int index, u64) { return recorder.build(index); });
    worker.reset({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    worker.request({5, 7, 6});
    recorder.waitCount(10);
    EXPECT_EQ(recorder.order, (std::vector<int>{5, 7, 6, 0, 1, 2, 3, 4, 8, 9}));

    recorder.order.clear();
    recorder.holdFirst = true;
    worker.reset({0, 1, 2});
    worker.request({0});
    recorder.waitInFirst();
    auto queued = std::async(std::launch::async, [&] {
        worker.request({1});
        worker.request({2});
    });
    const bool free = queued.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    recorder.release();
    ASSERT_TRUE(free) << "the queue was locked during a build";
    recorder.waitCount(3);
    EXPECT_EQ(recorder.order, (std::vector<int>{0, 2, 1}));
}

TEST(ThumbWorker, ResultsOfAnOlderGenerationAreNotDelivered) {
    Recorder recorder;
    recorder.holdFirst = true;
    PreviewWorker worker([&](int index, u64) { return recorder.build(index); });
    QSignalSpy built(&worker, &PreviewWorker::built);
    const u64 old = worker.reset({3});
    worker.request({3});
    recorder.waitInFirst();
    const u64 now = worker.reset({4});
    worker.request({4});
    recorder.release();
    ASSERT_TRUE(waitFor([&] { return built.size() >= 1; }));
    for (const QList<QVariant>& signal : built) EXPECT_EQ(signal.value(0).toULongLong(), now) << "old " << old;
    worker.stop();
    EXPECT_TRUE(worker.isFinished());
}

struct Cells : gui::AGThumbnailViewDataSource {
    int n = 0;
    int selectionChanges = 0;
    int thumbCount() override { return n; }
    PreviewResult thumbAtIndex(int, QSize, u64) override {
        PreviewResult result;
        result.image = QImage(64, 64, QImage::Format_RGB32);
        result.image.fill(Qt::blue);
        return result;
    }
    QString thumbHeaderAtIndex(int i) override { return QStringLiteral("<b>cell %1</b>").arg(i); }
    QString thumbFooterAtIndex(int i) override { return thumbHeaderAtIndex(i); }
    void thumbViewSelectionDidChange() override { ++selectionChanges; }
};

TEST(ThumbGrid, GeometryClicksAndRubberBand) {
    Cells cells;
    cells.n = 7;
    gui::AGThumbnailView grid;
    grid.setDataSource(&cells);
    grid.resize(500 + grid.verticalScrollBar()->sizeHint().width() + 2 * grid.frameWidth(), 300);
    grid.show();
    ASSERT_EQ(grid.viewport()->width(), 500);
    grid.reloadData();
    EXPECT_EQ(grid.columns(), 3);
    EXPECT_EQ(grid.rowCount(), 3);
    EXPECT_EQ(grid.frameHeight(), 480);
    const struct {
        QPoint point;
        int index;
    } hits[] = {{{10, 10}, 0}, {{170, 10}, 1}, {{10, 330}, 6}, {{170, 330}, -1}, {{490, 10}, -1}, {{10, 490}, -1}};
    for (const auto& hit : hits) EXPECT_EQ(grid.indexForPoint(hit.point), hit.index) << hit.point.x() << "," << hit.point.y();
    EXPECT_EQ(grid.rectForIndex(4), QRect(160, 160, 160, 160));

    auto click = [&](int index, Qt::KeyboardModifiers modifiers = {}) {
        QTest::mouseClick(grid.viewport(), Qt::LeftButton, modifiers, grid.rectForIndex(index).center());
    };
    const struct {
        int cell;
        Qt::KeyboardModifiers modifiers;
        QSet<int> selected;
        int changes;
    } clicks[] = {
        {1, {}, {1}, 1},
        {2, Qt::ControlModifier, {1, 2}, 2},
        {2, {}, {2}, 3},  // selected before, still the only one after
        {2, Qt::ControlModifier, {}, 4},
        {0, {}, {0}, 5},
    };
    for (const auto& c : clicks) {
        click(c.cell, c.modifiers);
        EXPECT_EQ(grid.selectedIndexes(), c.selected) << "cell " << c.cell;
        EXPECT_EQ(cells.selectionChanges, c.changes) << "cell " << c.cell;
    }
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, QPoint(170, 330));
    EXPECT_TRUE(grid.selectedIndexes().isEmpty());
    EXPECT_EQ(cells.selectionChanges, 5);
    QTest::mousePress(grid.viewport(), Qt::LeftButton, {}, QPoint(100, 100));
    QTest::mouseMove(grid.viewport(), QPoint(200, 200));
    QTest::mouseRelease(grid.viewport(), Qt::LeftButton, {}, QPoint(200, 200));
    EXPECT_EQ(grid.selectedIndexes(), (QSet<int>{0, 1, 3, 4}));
    QSignalSpy escape(&grid, &gui::AGThumbnailView::killOptionalUIElements);
    QTest::keyClick(&grid, Qt::Key_A);
    QTest::keyClick(&grid, Qt::Key_Escape);
    EXPECT_EQ(escape.size(), 1);
}

TEST(ThumbGrid, ReloadQueuesAThousandAndTheCacheStaysBounded) {
    Cells cells;
    cells.n = 2500;
    gui::AGThumbnailView grid;
    grid.setDataSource(&cells);
    grid.reloadData();
    // The first thousand cells, in order. A worker thread that starts only
    // now may already have taken the first of them.
    const std::vector<int> queued = grid.worker()->queued();
    ASSERT_GE(queued.size(), 999u);
    ASSERT_LE(queued.size(), 1000u);
    std::vector<int> expected(queued.size());
    std::iota(expected.begin(), expected.end(), int(1000 - queued.size()));
    EXPECT_EQ(queued, expected);
    grid.resize(700, 400);
    grid.show();
    ASSERT_TRUE(waitFor([&] { return grid.cached(0); }));
    grid.scrollToIndex(2400);
    ASSERT_TRUE(waitFor([&] { return grid.cached(2400); }));
    EXPECT_LE(grid.cacheBytes(), gui::AGThumbnailView::kCacheBytes);
}

struct CameraCard : Window {
    QSignalSpy finished{app.get(), &gui::AppController::commandFinished};
    CameraCard() : Window({"camera_card.img"}) {}

    void wait(const QString& command) {
        ASSERT_TRUE(waitFor([&] {
            for (const QList<QVariant>& f : finished)
                if (f.value(0).toString() == command) return true;
            return false;
        })) << command.toStdString();
        finished.clear();
    }
    void select(const QStringList& names) {
        gui::TreeAdapter* tree = app->treeAdapter();
        QModelIndex index;
        for (const QString& name : names) {
            QModelIndex found;
            ASSERT_TRUE(waitFor(
                [&] {
                    app->outlineView()->expand(index);
                    for (int r = tree->rowCount(index) - 1; r >= 0; --r) {
                        const QModelIndex child = tree->index(r, 0, index);
                        if (child.data().toString().contains(name)) found = child;
                    }
                    return found.isValid();
                },
                20000))
                << name.toStdString();
            index = found;
        }
        app->outlineView()->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect);
    }
};

TEST(ThumbWindow, CameraCardPicturesAtTheirFittingSizeAndTheViewerFollows) {
    CameraCard w;
    w.app->chooseDisk();
    w.wait(QStringLiteral("chooseDisk"));
    w.select({QString(), QStringLiteral("camera_card")});
    ASSERT_TRUE(waitFor([&] { return w.app->selectedDisk() != nullptr; }));
    w.app->browseVolume();
    w.wait(QStringLiteral("browseVolume"));
    w.select({QString(), QStringLiteral("DCIM"), QStringLiteral("101CANON")});
    ASSERT_TRUE(waitFor([&] { return w.app->tableAdapter()->rowCount() == 2; }));

    gui::AGThumbnailView* grid = w.app->itemPreviews()->thumbView();
    gui::EngineGate& gate = w.app->engine()->gate();
    ASSERT_TRUE(waitFor([&] { return gate.tryEnter(); }));
    w.app->tabView()->setCurrentIndex(1);
    ASSERT_EQ(grid->count(), 2);
    grid->repaint();
    QTest::qWait(0);
    EXPECT_FALSE(grid->cached(0)) << "built while the engine was held";
    EXPECT_FALSE(grid->cached(1)) << "built while the engine was held";
    gate.leave();

    const std::map<QString, QSize> fitted = {{QStringLiteral("IMG_0106.JPG"), {64, 85}},
                                             {QStringLiteral("IMG_0108.JPG"), {128, 96}}};
    std::map<QString, QSize> shown;
    ASSERT_TRUE(waitFor([&] { return grid->cached(0) && grid->cached(1); }));
    const QImage picture = grid->grab().toImage();
    EXPECT_NE(picture.pixel(grid->rectForIndex(0).center() + QPoint(grid->frameWidth(), grid->frameWidth())), qRgb(255, 255, 255));
    gui::ItemPreviews* previews = w.app->itemPreviews();
    for (int i = 0; i < 2; ++i) shown[previews->thumbHeaderAtIndex(i)] = grid->cachedImage(i).size();
    EXPECT_EQ(shown, fitted);
    snapshot(w.app.get(), QStringLiteral("thumbnails"));

    QSignalSpy updated(previews, &gui::ItemPreviews::viewerUpdated);
    w.app->toggleViewer();
    ASSERT_TRUE(waitFor([&] { return previews->viewer()->isVisible(); }));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->rectForIndex(0).center());
    EXPECT_EQ(w.app->tableView()->selectionModel()->selectedRows().value(0).row(), 0);
    ASSERT_TRUE(waitFor([&] { return !updated.isEmpty() && updated.last().value(0).toInt() == 0; }));
    EXPECT_EQ(previews->viewer()->imageView()->pixmap().size(), QSize(128, 170));
    snapshot(previews->viewer(), QStringLiteral("viewer"));
    w.app->tabView()->setCurrentIndex(0);
    w.app->tableView()->selectRow(1);
    ASSERT_TRUE(waitFor([&] { return updated.last().value(0).toInt() == 1; }));
    EXPECT_EQ(previews->viewer()->imageView()->pixmap().size(), QSize(128, 96));
    w.app->toggleViewer();
    EXPECT_FALSE(previews->viewer()->isVisible());
}

TEST(WindowZoom, ShiftMakesItFiveTimesAsLongAndTheWindowShowsAtTheEnd) {
    QWidget viewer;
    viewer.setGeometry(400, 300, 300, 200);
    gui::WindowZoom zoom;
    Qt::KeyboardModifiers held = Qt::NoModifier;
    zoom.setModifiers([&] { return held; });
    const QRect button(10, 10, 30, 20);
    const double plain = zoom.animationResizeTime(button, viewer.geometry());
    held = Qt::ShiftModifier;
    EXPECT_DOUBLE_EQ(zoom.animationResizeTime(button, viewer.geometry()), 5 * plain);

    QSignalSpy done(&zoom, &gui::WindowZoom::finished);
    zoom.zoomOnFromRect(&viewer, button);
    ASSERT_TRUE(zoom.animation());
    EXPECT_EQ(zoom.animation()->duration(), int(5 * plain * 1000));
    EXPECT_FALSE(viewer.isVisible()) << "shown before the zoom ended";
    zoom.animation()->setCurrentTime(zoom.animation()->duration() / 2);
    const QRect half = zoom.zoomWindow()->geometry();
    EXPECT_GT(half.width(), button.width());
    EXPECT_LT(half.width(), viewer.width());
    zoom.animation()->setCurrentTime(zoom.animation()->duration());
    ASSERT_EQ(done.size(), 1);
    EXPECT_TRUE(viewer.isVisible());
    zoom.zoomOnFromRect(&viewer, button);
    EXPECT_FALSE(zoom.animation()) << "a visible window does not zoom on";
    zoom.zoomOffToRect(&viewer, button);
    EXPECT_FALSE(viewer.isVisible()) << "hidden as the zoom off starts";
    zoom.animation()->setCurrentTime(zoom.animation()->duration());
    EXPECT_EQ(done.size(), 2);
}

}  // namespace
}  // namespace vorn::test
