// The preview chain on pictures made by ImageMagick and ghostscript
// (tests/fixtures/make_previews.sh): routing by extension, the fitting
// rule, size limits, the embedded-JPEG search, PDF pages and type icons;
// JPEG 2000 files whose headers ask for gigabytes; and the movie preview
// on ffmpeg's clips.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <future>
#include <random>
#include <thread>

#include "TestMedia.h"
#include "gui/Icons.h"
#include "gui/Preview.h"

namespace vorn::test {
namespace {

using gui::Preview;
using gui::PreviewItem;
using gui::PreviewResult;

// The size of a null image: no picture.
const QSize kNone(0, 0);

QByteArray picture(const char* name) {
    QFile file(QString::fromStdString(mediaPath(std::string("previews/") + name)));
    if (!file.open(QIODevice::ReadOnly)) ADD_FAILURE() << "missing medium " << name;
    return file.readAll();
}

// An item of the given bytes, logically size bytes long (zeros past the
// bytes); records the largest read and checks that buffers come zeroed.
struct Item {
    QByteArray bytes;
    u64 size;
    std::shared_ptr<u64> largestRead = std::make_shared<u64>(0);
    std::shared_ptr<bool> dirtyBuffer = std::make_shared<bool>(false);

    PreviewItem make(const std::string& name, bool container = false, bool deleted = false) const {
        PreviewItem item;
        item.name = name;
        item.size = size;
        item.container = container;
        item.deleted = deleted;
        item.read = [bytes = bytes, largest = largestRead, dirty = dirtyBuffer](u64 ofs, char* buf, u64 len) {
            *largest = std::max(*largest, len);
            if (std::any_of(buf, buf + len, [](char c) { return c != 0; })) *dirty = true;
            if (ofs >= u64(bytes.size())) return u64(0);
            const u64 n = std::min<u64>(len, u64(bytes.size()) - ofs);
            memcpy(buf, bytes.constData() + ofs, n);
            return n;
        };
        return item;
    }
};

Item of(const QByteArray& bytes) { return Item{bytes, u64(bytes.size())}; }

QByteArray randomBytes(int n, unsigned seed) {
    std::mt19937 random(seed);
    QByteArray out(n, '\0');
    for (char& c : out) c = char(random());
    return out;
}

TEST(Preview, FittingRule) {
    const struct {
        int w, h, width, height;
        QSize expected;
    } rows[] = {
        {3000, 2000, 160, 160, {128, 85}}, {1000, 3000, 160, 160, {32, 96}}, {100, 80, 160, 160, {64, 51}},
        {640, 480, 512, 384, {512, 384}},  {160, 160, 160, 160, {128, 128}}, {100, 80, 0, 0, QSize()},
        {100, 80, 160, 0, QSize()},        {10000, 1, 160, 160, QSize()},    {1, 10000, 160, 160, QSize()},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Preview::fittedSize(row.w, row.h, row.width, row.height), row.expected)
            << row.w << "x" << row.h << " in " << row.width << "x" << row.height;
}

TEST(Preview, RoutesEachPictureToItsDecoderAndFitsIt) {
    const struct {
        const char* file;
        std::string name;
        QSize expected;
    } rows[] = {
        {"baseline.jpg", "baseline.jpg", {128, 96}},   {"progressive.jpg", "P.JPEG", {128, 85}},
        {"cmyk.jpg", "cmyk.jpe", {32, 96}},            {"alpha.png", "alpha.png", {64, 51}},
        {"picture.tif", "picture.TIFF", {128, 96}},     {"picture.bmp", "picture.bmp", {128, 96}},
        {"picture.gif", "picture.gif", {128, 96}},      {"picture.webp", "picture.webp", {128, 96}},
        {"picture.jp2", "picture.jp2", {128, 96}},      {"picture.j2k", "picture.J2C", {128, 96}},
        {"cut.jpg", "cut.jpg", {128, 96}},              {"cut.jp2", "cut.jpc", {128, 96}},
        {"alpha.png", "PNG", {64, 51}},  // no dot: typed by the whole name
    };
    for (const auto& row : rows) {
        const PreviewResult result = Preview::getFilePreview(of(picture(row.file)).make(row.name), 160, 160);
        EXPECT_EQ(result.image.size(), row.expected) << row.name;
        EXPECT_FALSE(result.image.hasAlphaChannel()) << row.name;
    }
    // A cut JPEG 2000 still shows its first rows.
    const QImage cut = Preview::getFilePreview(of(picture("cut.jp2")).make("cut.jp2"), 160, 160).image;
    ASSERT_FALSE(cut.isNull());
    EXPECT_EQ(QColor(cut.pixel(0, 0)).red(), 255);
}

// OpenJPEG's lenient decode, which shows a cut file as far as it goes, reads
// far outside its buffers on some damaged files. It runs in a child process:
// a fault there (made here by the hook) gives no picture and one line, and
// the process showing previews goes on; a sound file never gets that far.
TEST(Preview, AJpeg2000DecoderFaultEndsOnlyItsChildProcess) {
    Preview::setJpeg2000ChildHookForTesting([] { raise(SIGSEGV); });
    testing::internal::CaptureStderr();
    const QImage cut = Preview::getFilePreview(of(picture("cut.jp2")).make("cut.jp2"), 160, 160).image;
    const QImage sound = Preview::getFilePreview(of(picture("picture.jp2")).make("picture.jp2"), 160, 160).image;
    const std::string said = testing::internal::GetCapturedStderr();
    Preview::setJpeg2000ChildHookForTesting({});
    EXPECT_TRUE(cut.isNull());
    EXPECT_NE(said.find("getFileImagePreview: the JPEG 2000 decoder failed on a damaged file (signal 11)"),
              std::string::npos)
        << said;
    EXPECT_EQ(sound.size(), QSize(128, 96));
    // Without the fault, the cut file shows its first rows again.
    EXPECT_FALSE(Preview::getFilePreview(of(picture("cut.jp2")).make("cut.jp2"), 160, 160).image.isNull());
}

TEST(Preview, ChainOutcomes) {
    const QByteArray jpeg = picture("baseline.jpg");
    QByteArray raw(600, '\0');
    raw.replace(0, 4, "II*\0");
    raw += jpeg;
    const struct {
        const char* what;
        Item item;
        std::string name;
        int width, height;
        QSize image;
        PreviewResult::Icon icon;
    } rows[] = {
        {"pgm", of(jpeg), "a.pgm", 160, 160, kNone, PreviewResult::NoIcon},
        {"PBM", of(jpeg), "A.PBM", 160, 160, kNone, PreviewResult::NoIcon},
        {"ppm", of(jpeg), "a.Ppm", 160, 160, kNone, PreviewResult::NoIcon},
        {"raw with a preview", of(raw), "IMG_0001.CR2", 160, 160, {128, 96}, PreviewResult::NoIcon},
        {"JPEG in a text", of(QByteArray(100, 'x') + jpeg), "notes.txt", 160, 160, {128, 96}, PreviewResult::NoIcon},
        {"511 bytes", of(jpeg.left(511)), "a.bin", 160, 160, kNone, PreviewResult::FileType},
        {"512 bytes", of(jpeg.left(512)), "a.bin", 160, 160, kNone, PreviewResult::FileType},
        {"no dot, no picture", of(randomBytes(2000, 1)), "README", 160, 160, kNone, PreviewResult::NoIcon},
        {"zero target", of(jpeg), "a.jpg", 0, 0, kNone, PreviewResult::FileType},
        {"junk picture", of(randomBytes(5000, 2)), "a.png", 160, 160, kNone, PreviewResult::FileType},
        {"folder", of(QByteArray()), "DCIM", 160, 160, kNone, PreviewResult::Folder},
    };
    for (const auto& row : rows) {
        const PreviewResult result = Preview::getFilePreview(row.item.make(row.name, std::string(row.what) == "folder"),
                                                             row.width, row.height);
        EXPECT_EQ(result.image.size(), row.image) << row.what;
        EXPECT_EQ(result.icon, row.icon) << row.what;
        EXPECT_FALSE(*row.item.dirtyBuffer) << row.what << ": a buffer came with old bytes";
    }
    const PreviewResult gone = Preview::getFilePreview(of(QByteArray()).make("Old", true, true), 160, 160);
    EXPECT_EQ(gone.icon, PreviewResult::DeletedFolder);
}

TEST(Preview, LargeItemsAreSearchedInTheirFirstBytesOnly) {
    // Over the picture limit: no picture decode, the embedded search reads
    // 4,000,000 bytes and finds the JPEG.
    Item big{QByteArray(100, '\0') + picture("baseline.jpg"), 30000001};
    const PreviewResult result = Preview::getFilePreview(big.make("huge.jpg"), 160, 160);
    EXPECT_EQ(result.image.size(), QSize(128, 96));
    EXPECT_EQ(*big.largestRead, Preview::kEmbeddedJpegLimit);
    // At the limit the picture is decoded from the whole item.
    Item limit{picture("baseline.jpg"), 30000000};
    EXPECT_EQ(Preview::getFilePreview(limit.make("limit.jpg"), 160, 160).image.size(), QSize(128, 96));
    EXPECT_EQ(*limit.largestRead, 30000000u);
}

TEST(Preview, PdfPagesFillTheTargetAndJunkStaysWhite) {
    const QImage page = Preview::getFilePreview(of(picture("document.pdf")).make("doc.pdf"), 100, 80).image;
    ASSERT_EQ(page.size(), QSize(100, 80));
    EXPECT_EQ(QColor(page.pixel(50, 40)), QColor(Qt::red)) << "the box, stretched into the middle";
    EXPECT_EQ(QColor(page.pixel(2, 2)), QColor(Qt::white));
    for (const QByteArray& junk : {randomBytes(3000, 3), picture("document.pdf").left(700)}) {
        const QImage white = Preview::getFilePreview(of(junk).make("junk.PDF"), 64, 48).image;
        ASSERT_EQ(white.size(), QSize(64, 48));
        EXPECT_EQ(QColor(white.pixel(32, 24)), QColor(Qt::white));
    }
}

// A figure of /proc/self/status ("VmPeak", "VmSize") in bytes.
u64 memoryStatus(const std::string& key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key + ":", 0) == 0) return std::stoull(line.substr(key.size() + 1)) * 1024;
    return 0;
}

// Run by Preview.Jpeg2000PreviewsStayWithinTheBound in a process of its
// own: each JPEG 2000 file of make_previews.sh gives a mid-grey picture of
// its size or none, and raises the process's peak of mapped memory (VmPeak:
// what was asked for, touched or not) by no more than the bound.
TEST(PreviewBoundChild, Run) {
    if (qEnvironmentVariableIsEmpty("VORN_PREVIEW_BOUND_CHILD")) GTEST_SKIP() << "only as the bound test's child";
    const auto preview = [](const char* name) { return Preview::getFileImagePreview(of(picture(name)).make(name), 160, 160); };
    // The decoders' first use maps what they keep for later.
    preview("picture.jp2");
    preview("picture.j2k");
    // Should the bound break, allocations fail 1 GiB on rather than the
    // machine running out of memory.
    const rlimit net{memoryStatus("VmSize") + (u64(1) << 30), RLIM_INFINITY};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &net), 0);
    const u64 base = memoryStatus("VmPeak");
    const struct {
        const char* name;
        QSize picture;
    } cases[] = {
        {"j2k/grey.j2k", {16, 16}},       {"j2k/psot_2g.j2k", {16, 16}},  {"j2k/psot_4g.j2k", {16, 16}},
        {"j2k/psot_2g.jp2", {16, 16}},    {"j2k/psot_zero.j2k", {16, 16}}, {"j2k/unknown.j2k", {16, 16}},
        {"j2k/big_grey.j2k", {128, 96}},  {"j2k/huge_tile.j2k", kNone},   {"j2k/tiles_64k.j2k", kNone},
        {"j2k/layers.j2k", kNone},        {"j2k/tile_cod.j2k", kNone},    {"j2k/palette.jp2", kNone},
        {"j2k/box_past_end.jp2", kNone},  {"j2k/psot_masked.j2k", {16, 16}},
    };
    for (const auto& c : cases) {
        const QImage image = preview(c.name);
        EXPECT_EQ(image.size(), c.picture) << c.name;
        if (!image.isNull()) {
            EXPECT_EQ(image.pixel(image.width() / 2, image.height() / 2), 0xff808080u) << c.name << ": not the grey picture";
        }
        EXPECT_LE(memoryStatus("VmPeak") - base, Preview::kDecodeBytes) << c.name << ": the peak of mapped memory rose that far";
    }
}

TEST(Preview, Jpeg2000PreviewsStayWithinTheBound) {
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VORN_PREVIEW_BOUND_CHILD"), QStringLiteral("1"));
    // Freed blocks held back by the sanitizer would count as taken.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":quarantine_size_mb=0"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=PreviewBoundChild.Run")});
    ASSERT_TRUE(child.waitForFinished(300000));
    const QByteArray output = child.readAll();
    EXPECT_TRUE(child.exitCode() == 0 && output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

TEST(Preview, TypeIconKeepsItsFirstSize) {
    gui::useIconTheme();
    const QImage first = Preview::imageForFileType(QStringLiteral("DOC"), 64, 64);
    ASSERT_FALSE(first.isNull()) << "no icon theme";
    EXPECT_LE(first.width(), 64);
    EXPECT_EQ(Preview::imageForFileType(QStringLiteral("DOC"), 16, 16).size(), first.size());
    EXPECT_TRUE(Preview::imageForFileType(QString(), 64, 64).isNull());
    PreviewResult folder;
    folder.icon = PreviewResult::Folder;
    EXPECT_FALSE(Preview::imageForResult(folder, 48, 48).isNull());
}

// The clips are red before 1.4 s, blue to 1.6 s and green after: their
// frame at 1.5 s is blue.
::testing::AssertionResult isBlue(const QImage& image) {
    if (image.isNull()) return ::testing::AssertionFailure() << "no picture";
    const QColor c(image.pixel(image.width() / 2, image.height() / 2));
    if (c.blue() > 200 && c.red() < 60 && c.green() < 60) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << c.name().toStdString();
}

// The movie preview asked on a thread of its own while this (the UI)
// thread runs its event loop, as a preview worker would ask it.
QImage movieFromWorker(const Item& item, int width = 160, int height = 160) {
    QEventLoop loop;
    QImage frame;
    std::thread worker([&] {
        frame = Preview::getQuickTimePreview(item.make("clip.mov"), width, height);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
    worker.join();
    return frame;
}

TEST(MoviePreview, FrameAtOneAndAHalfSecondsScaledToFit) {
    // H.264 with B-frames in a QuickTime file, VP8 in WebM (found by a
    // seek), the WebM clip without length or index (played up to 1.5 s), and
    // a clip with a sound track played where there is no sound device.
    for (const char* clip : {"movie.mov", "movie.webm", "movie_live.webm", "movie_sound.mov"}) {
        const QImage frame = movieFromWorker(of(picture(clip)));
        EXPECT_EQ(frame.size(), QSize(160, 120)) << clip;
        EXPECT_TRUE(isBlue(frame)) << clip;
    }
    // Asked on the UI thread itself.
    const QImage direct = Preview::getQuickTimePreview(of(picture("movie.mov")).make("movie.mov"), 64, 64);
    EXPECT_EQ(direct.size(), QSize(64, 48));
    EXPECT_TRUE(isBlue(direct));
    // The preview chain sends no movie there.
    const PreviewResult chain = Preview::getFilePreview(of(picture("movie.mov")).make("movie.mov"), 160, 160);
    EXPECT_TRUE(chain.image.isNull());
    EXPECT_EQ(chain.icon, PreviewResult::FileType);
}

TEST(MoviePreview, OnlyTheFirst512KiBAreRead) {
    // The clip's index comes first, so its first bytes play on their own.
    Item padded{picture("movie.mov") + QByteArray(600000, '\0'), 600000 + u64(picture("movie.mov").size())};
    EXPECT_TRUE(isBlue(movieFromWorker(padded)));
    EXPECT_EQ(*padded.largestRead, Preview::kMovieLimit);
}

TEST(MoviePreview, NoPictureWithoutAFrameAtOneAndAHalfSeconds) {
    const struct {
        const char* what;
        Item item;
        int size;
    } rows[] = {
        {"a one-second clip", of(picture("short.mov")), 160},
        {"random bytes", of(randomBytes(3000, 4)), 160},
        {"the clip's first 2,000 bytes", of(picture("movie.mov").left(2000)), 160},
        {"an empty file", of(QByteArray()), 160},
        {"a zero target", of(picture("movie.mov")), 0},
    };
    for (const auto& row : rows) EXPECT_TRUE(movieFromWorker(row.item, row.size, row.size).isNull()) << row.what;
    // On the UI thread itself, the player's time-out ends the wait for a
    // clip that never loads; the events run meanwhile, so a guard can end a
    // wait that does not end.
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [] {
        fputs("hang: getQuickTimePreview on the UI thread did not return within a minute\n", stderr);
        std::abort();
    });
    guard.start(60000);
    EXPECT_TRUE(Preview::getQuickTimePreview(of(picture("movie.mov").left(2000)).make("cut.mov"), 160, 160).isNull());
}

TEST(MoviePreview, AWorkerIsNotHeldByABusyUIThread) {
    // The UI thread runs no events while the worker asks: the worker gives
    // up after its bounded wait, with no picture.
    const Item clip = of(picture("movie.mov"));
    std::future<QImage> result =
        std::async(std::launch::async, [&] { return Preview::getQuickTimePreview(clip.make("movie.mov"), 160, 160); });
    const bool ended = result.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    // A worker that still waits gets its answer before the test fails.
    if (!ended) (void)QTest::qWaitFor([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    ASSERT_TRUE(ended) << "the worker waited on the UI thread for a minute";
    EXPECT_TRUE(result.get().isNull());
    QTest::qWait(100);  // the request it left behind is dropped meanwhile
}

}  // namespace
}  // namespace vorn::test
