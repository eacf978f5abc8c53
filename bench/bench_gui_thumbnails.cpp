// The thumbnail grid on a folder of 100,000 pictures (a made-up tree of
// 640x480 JPEGs held in memory), scrolled a page every 20 ms while the
// worker builds: the longest gap between two turns of the UI thread's event
// loop (a 10 ms timer), the thumbnails built per second, and the peak
// resident set. Baseline in the same run: the same previews made one after
// another on one thread, without grid, gate or queue.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QPainter>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "fs/VolumeItem.h"
#include "gui/AGThumbnailView.h"
#include "gui/Engine.h"
#include "gui/ItemPreviews.h"
#include "gui/Preview.h"
#include "gui/TableAdapter.h"
#include "misc/Log.h"
#include "recovery/Recovery.h"
#include "recovery/VolumeTableModel.h"
#include "storage/DiskManager.h"

namespace {

QByteArray g_jpeg;

// A file whose bytes are the shared picture.
struct PictureItem : vorn::DummyVolumeItem {
    PictureItem() : DummyVolumeItem(false) {}
    vorn::u64 getSize() override { return vorn::u64(g_jpeg.size()); }
    vorn::u32 read(vorn::u64 ofs, void* buf, vorn::u32 len) override {
        if (ofs >= vorn::u64(g_jpeg.size())) return 0;
        const vorn::u32 n = vorn::u32(std::min<vorn::u64>(len, g_jpeg.size() - ofs));
        memcpy(buf, g_jpeg.constData() + ofs, n);
        return n;
    }
};

QByteArray makeJpeg() {
    QImage image(640, 480, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient shade(0, 0, 640, 480);
    shade.setColorAt(0, QColor(20, 40, 120));
    shade.setColorAt(1, QColor(230, 180, 40));
    painter.fillRect(image.rect(), shade);
    painter.setBrush(Qt::white);
    for (int i = 0; i < 40; ++i) painter.drawEllipse(QPoint((i * 97) % 640, (i * 53) % 480), 12 + i % 9, 12 + i % 7);
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "jpeg", 85);
    return bytes;
}

long peakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_PreviewsOneAfterAnother(benchmark::State& state) {
    PictureItem item;
    item.setName("picture.jpg");
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        int made = 0;
        while (clock.elapsed() < 2000) {
            const vorn::gui::PreviewResult result = vorn::gui::Preview::getFilePreview(vorn::gui::Preview::itemOf(&item), 160, 160);
            benchmark::DoNotOptimize(result.image.width());
            ++made;
        }
        const double seconds = clock.elapsed() / 1000.0;
        state.SetIterationTime(seconds);
        state.counters["thumbnails_per_s"] = made / seconds;
    }
}

// Scrolls the grid a page every 20 ms for 300 pages after a reload and
// reports the UI thread's gaps and the pictures that arrived.
void scrollAndMeasure(benchmark::State& state, QTabWidget* tabs, vorn::gui::AGThumbnailView* grid) {
    tabs->setCurrentIndex(0);
    tabs->setCurrentIndex(1);  // a reload: a new generation
    QCoreApplication::processEvents();
    long built = 0;
    auto counting = QObject::connect(grid, &vorn::gui::AGThumbnailView::thumbnailReady, [&] { ++built; });
    QElapsedTimer clock;
    qint64 last = 0;
    std::vector<qint64> gaps;
    QTimer ticker, scroller;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        gaps.push_back(now - last);
        last = now;
    });
    int pages = 0;
    scroller.setInterval(20);
    QObject::connect(&scroller, &QTimer::timeout, [&] {
        QScrollBar* bar = grid->verticalScrollBar();
        bar->setValue(bar->value() + bar->pageStep());
        ++pages;
    });
    clock.start();
    ticker.start();
    scroller.start();
    if (!QTest::qWaitFor([&] { return pages >= 300; }, 600000)) state.SkipWithError("scrolling stalled");
    scroller.stop();
    ticker.stop();
    QObject::disconnect(counting);
    const double seconds = clock.elapsed() / 1000.0;
    std::sort(gaps.begin(), gaps.end());
    state.SetIterationTime(seconds);
    state.counters["longest_ui_gap_ms"] = gaps.empty() ? 0 : double(gaps.back());
    state.counters["p99_ui_gap_ms"] = gaps.empty() ? 0 : double(gaps[gaps.size() * 99 / 100]);
    state.counters["thumbnails_per_s"] = built / seconds;
    state.counters["cells"] = grid->count();
    state.counters["cache_mib"] = grid->cacheBytes() / 1048576.0;
    state.counters["peak_rss_mib"] = peakRssKiB() / 1024.0;
}

// The window's pieces around a folder: engine, table, tabs, previews.
struct Rig {
    vorn::DummyVolumeItem folder{true};
    vorn::gui::Engine engine{std::make_unique<vorn::DiskManager>()};
    QWidget window;
    vorn::gui::TableAdapter* table = new vorn::gui::TableAdapter(&engine, &window);
    QTableView* tableView = new QTableView(&window);
    QTabWidget* tabs = new QTabWidget(&window);
    std::unique_ptr<vorn::gui::ItemPreviews> previews;

    explicit Rig(bool pictures) {
        folder.setName("many");
        for (int i = 0; i < 100000; ++i) {
            vorn::VolumeItem* item = pictures ? new PictureItem : new vorn::DummyVolumeItem(false);
            item->setName("IMG_" + std::to_string(100000 + i) + (pictures ? ".JPG" : ".pgm"));
            folder.addChild(item);
        }
        folder.setChildrenLoaded(true);
        tableView->setModel(table);
        tabs->addTab(tableView, QStringLiteral("Table"));
        tabs->tabBar()->setTabData(0, QStringLiteral("table"));
        previews = std::make_unique<vorn::gui::ItemPreviews>(&engine, table, tableView, tabs, &window);
        tabs->addTab(previews->thumbView(), QStringLiteral("Thumbnails"));
        tabs->tabBar()->setTabData(1, QStringLiteral("thumb"));
        tabs->resize(840, 700);
        window.resize(840, 700);
        window.show();
        vorn::gui::GateAccess access(engine.gate());
        table->setModel(std::make_shared<vorn::VolumeTableModel>(engine.recovery(), &folder));
        previews->setFolder(&folder, engine.generation());
    }
    ~Rig() { previews->stop(); }
};

// Baseline: the same scrolling over items that give no picture at once
// (".pgm" names), so the worker has next to nothing to do.
void BM_GridScrollingWithoutPictures(benchmark::State& state) {
    Rig rig(false);
    for (auto _ : state) scrollAndMeasure(state, rig.tabs, rig.previews->thumbView());
}

void BM_GridOfHundredThousandWhileScrolling(benchmark::State& state) {
    Rig rig(true);
    for (auto _ : state) scrollAndMeasure(state, rig.tabs, rig.previews->thumbView());
}

BENCHMARK(BM_PreviewsOneAfterAnother)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_GridScrollingWithoutPictures)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_GridOfHundredThousandWhileScrolling)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    vorn::setLogLevel(vorn::LOG_ERROR);
    g_jpeg = makeJpeg();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
