// The movie preview: a movie's frame at 1.5 s, taken with Qt Multimedia.
//
// The player needs the UI thread's event loop, so the frame is taken there
// (getQuickTimePreviewImpl) while the asking thread waits on a semaphore
// with a time-out; the request is shared, so whichever side lets go first
// leaves the other nothing to clean up. The bytes reach the player through
// an anonymous memory file (memfd), never through a file on a disk: the
// disk being recovered may be the one the temporary folder is on.
#include <QCoreApplication>
#include <QEventLoop>
#include <QSemaphore>
#include <QThread>
#include <atomic>
#include <cstdio>

#include "gui/ImageScaling.h"
#include "gui/Preview.h"

#ifdef VORN_HAVE_MOVIES
#include <sys/mman.h>
#include <unistd.h>

#include <QMediaPlayer>
#include <QTimer>
#include <QUrl>
#include <QVideoFrame>
#include <QVideoSink>
#endif

namespace vorn::gui {

// The movie preview's request: the bytes of a movie in, its frame at 1.5 s
// out (null for none) once done is set. The movie's name is not needed: the
// player tells the format by the bytes.
struct MovieFrame {
    QByteArray bytes;
    QImage frame;
    std::atomic<bool> done{false};
    // Set by a waiter that gave up; the UI thread then skips or drops it.
    std::atomic<bool> abandoned{false};
    // Released once, when done.
    QSemaphore finished;
    // UI thread: called once when done, for a waiter on the UI thread.
    std::function<void()> onDone;

    void finish(QImage image) {
        if (done.exchange(true)) return;
        frame = std::move(image);
        finished.release();
        if (onDone) onDone();
    }
};

namespace {

#ifdef VORN_HAVE_MOVIES
constexpr qint64 kFrameAtMs = 1500;  // 90/60 seconds

// Plays one movie from an anonymous memory file on the UI thread, seeks to
// 1.5 s, and finishes the request with the frame showing at that time, or
// with none on an error, at the end of the movie or at the time-out. Deletes
// itself when finished.
class MovieGrabber : public QObject {
public:
    explicit MovieGrabber(std::shared_ptr<MovieFrame> request) : movie(std::move(request)) {}

    ~MovieGrabber() override {
        player.reset();
        if (fd >= 0) close(fd);
    }

    void start() {
        fd = memfd_create("vorn-movie", MFD_CLOEXEC);
        if (fd < 0 || !writeAll()) return finish(QImage(), "cannot hold the movie in memory");
        player = std::make_unique<QMediaPlayer>();
        player->setVideoSink(&sink);
        connect(player.get(), &QMediaPlayer::mediaStatusChanged, this, &MovieGrabber::statusChanged);
        connect(player.get(), &QMediaPlayer::seekableChanged, this, &MovieGrabber::seekWhenReady);
        connect(player.get(), &QMediaPlayer::playbackStateChanged, this, &MovieGrabber::seekWhenReady);
        connect(player.get(), &QMediaPlayer::errorOccurred, this,
                [this](QMediaPlayer::Error, const QString& text) { finish(QImage(), text.toUtf8()); });
        connect(&sink, &QVideoSink::videoFrameChanged, this, &MovieGrabber::frameArrived);
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, this, [this] { finish(QImage(), "no frame in time"); });
        timer.start(Preview::kMovieTimeoutMs);
        player->setSource(source());
    }

private:
    QUrl source() const { return QUrl::fromLocalFile(QStringLiteral("/proc/self/fd/%1").arg(fd)); }

    bool writeAll() {
        const char* data = movie->bytes.constData();
        qsizetype left = movie->bytes.size();
        while (left > 0) {
            const ssize_t n = write(fd, data, size_t(left));
            if (n <= 0) return false;
            data += n;
            left -= n;
        }
        return true;
    }

    void statusChanged(QMediaPlayer::MediaStatus status) {
        if (finished) return;
        if (status == QMediaPlayer::LoadedMedia) {
            player->play();
            seekWhenReady();
        } else if (status == QMediaPlayer::EndOfMedia) {
            // A stream written without its length claims only what was read
            // of it when it loaded, and on a busy machine its play can end
            // there, long before its real end: such a play, ended before
            // 1.5 s and without a seek, is started once more from the
            // beginning (after the player's signal, which a reload would stall).
            if (!seeked && !replayed && player->position() < kFrameAtMs) {
                replayed = true;
                QTimer::singleShot(0, this, [this] {
                    if (finished) return;
                    player->setSource(QUrl());
                    player->setSource(source());
                });
                return;
            }
            finish(QImage(), "the movie ended before 1.5 s");
        } else if (status == QMediaPlayer::InvalidMedia) {
            finish(QImage(), "not a movie");
        }
    }

    // The backend takes a seek only once it plays and knows it can seek.
    // Without one, playing on reaches 1.5 s too, only later: so where the
    // movie has no index or claims to end before 1.5 s (a stream written
    // without its length can claim too little), it plays.
    void seekWhenReady() {
        if (finished || seeked || !player->isSeekable() || player->playbackState() != QMediaPlayer::PlayingState) return;
        if (player->duration() > 0 && player->duration() <= kFrameAtMs) return;
        seeked = true;
        player->setPosition(kFrameAtMs);
    }

    void frameArrived(const QVideoFrame& frame) {
        if (finished || !frame.isValid()) return;
        // The frame shown at 1.5 s is the first that lasts beyond it.
        const qint64 ends = frame.endTime() >= 0 ? frame.endTime() : frame.startTime();
        if (ends < 0 ? player->position() < kFrameAtMs : ends <= kFrameAtMs * 1000) return;
        QImage image = frame.toImage();
        finish(image.isNull() ? image : image.convertToFormat(QImage::Format_RGB32), "a frame that did not convert");
    }

    // Called from the player's and the sink's signals, where unloading the
    // player would stall it (its video thread waits on this thread): the
    // request is finished right after them.
    void finish(QImage image, const QByteArray& why) {
        if (finished) return;
        finished = true;
        timer.stop();
        QTimer::singleShot(0, this, [this, image = std::move(image), why]() mutable {
            if (player) player->setSource(QUrl());
            if (image.isNull()) fprintf(stderr, "getQuickTimePreview: no frame: %s\n", why.constData());
            movie->finish(std::move(image));
            deleteLater();
        });
    }

    std::shared_ptr<MovieFrame> movie;
    int fd = -1;
    QVideoSink sink;
    QTimer timer;
    std::unique_ptr<QMediaPlayer> player;
    bool seeked = false;
    bool replayed = false;
    bool finished = false;
};
#endif

}  // namespace

void Preview::getQuickTimePreviewImpl(const std::shared_ptr<MovieFrame>& movie) {
    if (!movie || movie->done) return;
    QCoreApplication* app = QCoreApplication::instance();
    if (movie->abandoned || !app || QThread::currentThread() != app->thread()) return movie->finish(QImage());
#ifdef VORN_HAVE_MOVIES
    (new MovieGrabber(movie))->start();
#else
    fprintf(stderr, "getQuickTimePreview: built without Qt Multimedia\n");
    movie->finish(QImage());
#endif
}

QImage Preview::getQuickTimePreview(const PreviewItem& item, int width, int height) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || width <= 0 || height <= 0) return QImage();
    const u64 size = std::min(item.size, kMovieLimit);
    std::vector<char> bytes;
    if (!readFirst(item, size, &bytes, "getQuickTimePreview")) return QImage();
    auto movie = std::make_shared<MovieFrame>();
    movie->bytes = QByteArray(bytes.data(), qsizetype(bytes.size()));
    if (QThread::currentThread() == app->thread()) {
        // Asked on the UI thread itself: its events run until the frame is
        // there; the grabber's own time-out ends the wait.
        QEventLoop loop;
        movie->onDone = [&loop] { loop.quit(); };
        getQuickTimePreviewImpl(movie);
        if (!movie->done) loop.exec();
        movie->onDone = nullptr;
    } else {
        QMetaObject::invokeMethod(app, [movie] { getQuickTimePreviewImpl(movie); }, Qt::QueuedConnection);
        if (!movie->finished.tryAcquire(1, kMovieTimeoutMs + kMovieWaitSlackMs)) {
            movie->abandoned = true;
            fprintf(stderr, "getQuickTimePreview: no frame in time\n");
            return QImage();
        }
    }
    if (movie->frame.isNull()) return QImage();
    return imageByScalingProportionallyToSize(movie->frame, QSize(width, height));
}

}  // namespace vorn::gui
