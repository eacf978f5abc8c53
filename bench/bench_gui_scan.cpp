// The window during a deleted-files scan of a 1 GiB FAT32 image (random
// bytes in its free clusters, in the page cache): the longest gap between
// two turns of the UI thread's event loop (a 10 ms timer), the paints per
// second, and the scan's wall time from Start to the end of the command,
// against `vorn -cli img IMAGE sd` run in the same process's turn (the
// baseline: the same engine without a window).
//
// Also: a folder of 100,000 items (a made-up tree; FAT cannot hold that many)
// scrolled from top to bottom in the table, a page at a time: the time per
// step and the growth of the resident set while scrolling (the table keeps a
// bounded cache of rows).
//
// Environment: VORN_BENCH_DIR (default /tmp) holds the image; VORN_BENCH_MIB
// sets its size (default 1024).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QScrollBar>
#include <QTableView>
#include <QTreeView>
#include <fstream>
#include <cstdio>
#include <string>

#include "BenchFiles.h"
#include "gui/AppController.h"
#include "gui/Desktop.h"
#include "gui/TreeAdapter.h"
#include "misc/Log.h"
#include "fs/VolumeItem.h"
#include "gui/Engine.h"
#include "gui/TableAdapter.h"
#include "recovery/Recovery.h"
#include "recovery/VolumeTableModel.h"
#include "storage/DiskManager.h"
#include "storage/ImageDisk.h"

namespace {

std::string g_image;
vorn::u64 g_size = 0;

// Answers every alert at once; no sound, no speech.
struct QuietDesktop : vorn::gui::Desktop {
    int ask(QWidget*, const QString&, const QString&, const QStringList&, int) override { return 0; }
    void playComplete() override {}
    void say(const QString&) override {}
};

struct PaintCounter : QObject {
    long paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

void BM_WindowDeletedFilesScan(benchmark::State& state) {
    for (auto _ : state) {
        QuietDesktop desktop;
        vorn::gui::AppOptions options;
        options.desktop = &desktop;
        options.chooseDiskAtStart = false;
        options.makeDiskManager = [] {
            auto* manager = new vorn::DiskManager();
            manager->addDisk(new vorn::ImageDisk(g_image));
            return manager;
        };
        vorn::gui::AppController app(options);
        app.show();
        QSignalSpy finished(&app, &vorn::gui::AppController::commandFinished);
        app.chooseDisk();
        vorn::gui::TreeAdapter* tree = app.treeAdapter();
        if (!QTest::qWaitFor([&] { return tree->index(0, 0, tree->index(0, 0)).isValid(); }, 60000))
            return state.SkipWithError("the disk list did not show the image");
        app.outlineView()->setCurrentIndex(tree->index(0, 0, tree->index(0, 0)));
        if (!QTest::qWaitFor([&] { return app.selectedDisk() != nullptr; }, 60000))
            return state.SkipWithError("the image was not chosen");
        finished.clear();

        PaintCounter counter;
        qApp->installEventFilter(&counter);
        QElapsedTimer clock;
        qint64 last = 0, longestGap = 0;
        QTimer ticker;
        ticker.setInterval(10);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            longestGap = std::max(longestGap, now - last);
            last = now;
        });
        clock.start();
        ticker.start();
        app.scanWindowEndOK();
        if (!QTest::qWaitFor([&] { return !finished.isEmpty(); }, 3600 * 1000))
            state.SkipWithError("the scan did not finish");
        const double seconds = double(clock.elapsed()) / 1000.0;
        ticker.stop();
        qApp->removeEventFilter(&counter);
        state.SetIterationTime(seconds);
        vorn::bench::runTimes().add("window", seconds);
        state.counters["longest_ui_gap_ms"] = double(longestGap);
        state.counters["paints_per_s"] = double(counter.paints) / seconds;
        state.counters["served_progress"] = app.servedProgressCount();
    }
}

void BM_CommandLineDeletedFilesScan(benchmark::State& state) {
    for (auto _ : state) {
        vorn::bench::timeRun(state, "command line", [] {
            return vorn::bench::run("'" VORN_BINARY "' -cli img '" + g_image + "' sd >/dev/null 2>&1");
        });
    }
}

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void BM_ScrollHundredThousandItems(benchmark::State& state) {
    vorn::DummyVolumeItem folder(true);
    folder.setName("many");
    for (int i = 0; i < 100000; ++i) {
        auto* item = new vorn::DummyVolumeItem(false);
        item->setName("file " + std::to_string(i) + ".jpg");
        folder.addChild(item);
    }
    folder.setChildrenLoaded(true);
    vorn::gui::Engine engine(std::make_unique<vorn::DiskManager>());
    vorn::gui::TableAdapter adapter(&engine);
    {
        vorn::gui::GateAccess access(engine.gate());
        adapter.setModel(std::make_shared<vorn::VolumeTableModel>(engine.recovery(), &folder));
    }
    QTableView view;
    view.setModel(&adapter);
    view.resize(800, 600);
    view.show();
    QCoreApplication::processEvents();
    for (auto _ : state) {
        view.scrollToTop();
        QCoreApplication::processEvents();
        const long before = residentKiB();
        QElapsedTimer clock;
        clock.start();
        int steps = 0;
        QScrollBar* bar = view.verticalScrollBar();
        while (bar->value() < bar->maximum()) {
            bar->setValue(bar->value() + bar->pageStep());
            view.viewport()->repaint();
            ++steps;
        }
        const double seconds = double(clock.elapsed()) / 1000.0;
        state.SetIterationTime(seconds);
        state.counters["ms_per_page"] = seconds * 1000.0 / std::max(steps, 1);
        state.counters["rss_growth_kib"] = double(residentKiB() - before);
        state.counters["cached_pages"] = adapter.cachedPages();
    }
}

BENCHMARK(BM_ScrollHundredThousandItems)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_CommandLineDeletedFilesScan)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(3);
BENCHMARK(BM_WindowDeletedFilesScan)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(3);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    vorn::setLogLevel(vorn::LOG_ERROR);
    g_size = vorn::bench::envMiB("VORN_BENCH_MIB", 1024);
    g_image = vorn::bench::envOr("VORN_BENCH_DIR", "/tmp") + "/vorn_bench_gui_fat.img";
    if (vorn::bench::fileSize(g_image) != g_size) {
        if (!vorn::bench::writeRandomFile(g_image, g_size, 0x6017) ||
            !vorn::bench::run("mkfs.fat -F 32 -s 8 -i 6017BE7C '" + g_image + "' >/dev/null 2>&1")) {
            fprintf(stderr, "cannot make the benchmark image\n");
            return 1;
        }
    }
    vorn::bench::warm(g_image);
    benchmark::RunSpecifiedBenchmarks();
    const double window = vorn::bench::runTimes().median("window");
    const double cli = vorn::bench::runTimes().median("command line");
    if (window > 0 && cli > 0)
        printf("deleted-files scan of %llu MiB: window %.2f s, command line %.2f s => window takes %.2f x\n",
               static_cast<unsigned long long>(g_size >> 20), window, cli, window / cli);
    benchmark::Shutdown();
    return 0;
}
