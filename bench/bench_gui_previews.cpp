// Previews that reach for outside machinery: a movie's frame at 1.5 s
// through Qt Multimedia, and JPEG 2000 pictures behind the header check.
// Baselines in the same run: ffmpeg taking the same frame in a process of
// its own, the JPEG preview of a picture of the same size, and OpenJPEG's
// decoding that the header check comes before.
// Media are made once in /tmp with ffmpeg and ImageMagick.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QEventLoop>
#include <QImage>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "BenchFiles.h"
#include "gui/Jpeg2000Header.h"
#include "gui/Preview.h"
#include "misc/Log.h"

namespace {

const std::string kClip = "/tmp/vorn_bench_movie.mov";
const std::string kStill = "/tmp/vorn_bench_still.jpg";
const std::string kJpeg2000 = "/tmp/vorn_bench_picture.j2k";

QByteArray g_clip, g_still, g_jpeg2000;

bool makeOnce(const std::string& path, const std::string& command) {
    if (vorn::bench::fileSize(path) > 0) return true;
    return std::system(command.c_str()) == 0 && vorn::bench::fileSize(path) > 0;
}

QByteArray load(const std::string& path) {
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

vorn::gui::PreviewItem itemOf(const QByteArray& bytes, const std::string& name) {
    vorn::gui::PreviewItem item;
    item.name = name;
    item.size = vorn::u64(bytes.size());
    item.read = [&bytes](vorn::u64 ofs, char* buf, vorn::u64 len) -> vorn::u64 {
        if (ofs >= vorn::u64(bytes.size())) return 0;
        const vorn::u64 n = std::min<vorn::u64>(len, bytes.size() - ofs);
        memcpy(buf, bytes.constData() + ofs, n);
        return n;
    };
    return item;
}

// Asked from a thread of its own while the UI thread runs its events, as
// a preview worker asks it.
QImage movieFromWorker() {
    QEventLoop loop;
    QImage frame;
    std::thread worker([&] {
        frame = vorn::gui::Preview::getQuickTimePreview(itemOf(g_clip, "clip.mov"), 160, 160);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    return frame;
}

void timeMovie(benchmark::State& state, const std::function<QImage()>& preview) {
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        const QImage frame = preview();
        state.SetIterationTime(clock.nsecsElapsed() / 1e9);
        if (frame.isNull()) state.SkipWithError("no frame");
    }
}

// The first preview starts the multimedia back end; it is reported apart.
void BM_MoviePreviewFirst(benchmark::State& state) { timeMovie(state, movieFromWorker); }
void BM_MoviePreview(benchmark::State& state) { timeMovie(state, movieFromWorker); }
void BM_MoviePreviewOnUIThread(benchmark::State& state) {
    timeMovie(state, [] { return vorn::gui::Preview::getQuickTimePreview(itemOf(g_clip, "clip.mov"), 160, 160); });
}

// Baseline: ffmpeg takes the frame at 1.5 s of the same clip.
void BM_FfmpegFrame(benchmark::State& state) {
    const std::string command = "ffmpeg -v error -y -ss 1.5 -i " + kClip + " -frames:v 1 -f null - >/dev/null 2>&1";
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        if (std::system(command.c_str()) != 0) state.SkipWithError("ffmpeg failed");
        state.SetIterationTime(clock.nsecsElapsed() / 1e9);
    }
}

// Baseline: the picture preview of a JPEG of the clip's size.
void BM_JpegPreview(benchmark::State& state) {
    for (auto _ : state) {
        const QImage image = vorn::gui::Preview::getFileImagePreview(itemOf(g_still, "still.jpg"), 160, 160);
        benchmark::DoNotOptimize(image.width());
    }
}

void BM_Jpeg2000Preview(benchmark::State& state) {
    for (auto _ : state) {
        const QImage image = vorn::gui::Preview::getFileImagePreview(itemOf(g_jpeg2000, "picture.j2k"), 160, 160);
        if (image.isNull()) state.SkipWithError("no picture");
    }
    state.counters["file_mib"] = g_jpeg2000.size() / 1048576.0;
}

// What the header check adds to the preview above (a copy of the file, as
// the preview reads it, and the walk).
void BM_Jpeg2000HeaderCheck(benchmark::State& state) {
    std::vector<vorn::u8> copy(g_jpeg2000.begin(), g_jpeg2000.end());
    for (auto _ : state) {
        memcpy(copy.data(), g_jpeg2000.constData(), copy.size());
        const vorn::gui::Jpeg2000Header header = vorn::gui::Jpeg2000Header::read(copy.data(), copy.size());
        benchmark::DoNotOptimize(header.decodeBytes(0));
    }
}

BENCHMARK(BM_MoviePreviewFirst)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_MoviePreview)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);
BENCHMARK(BM_MoviePreviewOnUIThread)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);
BENCHMARK(BM_FfmpegFrame)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);
BENCHMARK(BM_JpegPreview)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Jpeg2000Preview)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Jpeg2000HeaderCheck)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    vorn::setLogLevel(vorn::LOG_ERROR);
    const bool made =
        makeOnce(kClip, "ffmpeg -v error -y -f lavfi -i testsrc=duration=3:size=320x240:rate=25 -c:v libx264 "
                        "-pix_fmt yuv420p -movflags +faststart " + kClip) &&
        makeOnce(kStill, "ffmpeg -v error -y -ss 1.5 -i " + kClip + " -frames:v 1 " + kStill) &&
        makeOnce(kJpeg2000, "convert -size 2400x1800 plasma:fractal -seed 3 " + kJpeg2000);
    if (!made) {
        fprintf(stderr, "bench_gui_previews: ffmpeg or ImageMagick could not make the media\n");
        return 1;
    }
    g_clip = load(kClip);
    g_still = load(kStill);
    g_jpeg2000 = load(kJpeg2000);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
