#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QWidget>
#include <QStringList>
#include <QTest>
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "TestMedia.h"
#include "gui/AppController.h"
#include "gui/Desktop.h"
#include "storage/DiskManager.h"
#include "storage/ImageDisk.h"

namespace vorn::test {

struct FakeDesktop : gui::Desktop {
    std::deque<int> answers;
    std::deque<QString> folders, saveFiles, openFiles;
    QStringList asked;  // alert titles
    QStringList spoken;
    int sounds = 0;
    std::function<void()> onAsk;

    int ask(QWidget*, const QString& title, const QString&, const QStringList&, int) override {
        asked << title;
        if (onAsk) onAsk();
        if (answers.empty()) return 0;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    static QString take(std::deque<QString>& queue) {
        if (queue.empty()) return QString();
        QString next = queue.front();
        queue.pop_front();
        return next;
    }
    QString chooseFolder(QWidget*, const QString&) override { return take(folders); }
    QString chooseSaveFile(QWidget*, const QString&, const QString&, const QString&) override { return take(saveFiles); }
    QString chooseOpenFile(QWidget*, const QString&, const QString&) override { return take(openFiles); }
    void say(const QString& text) override { spoken << text; }
    void stopSpeaking() override {}
    void playComplete() override { ++sounds; }
    bool openHelp(const QString&) override { return true; }
};

struct HeldDisk : ImageDisk {
    explicit HeldDisk(const std::string& path) : ImageDisk(path) {}
    bool readBlocksImpl(u64 rawBlock, u32 count, void* buffer) override {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (delayMs > 0) changed.wait_for(lock, std::chrono::milliseconds(delayMs.load()));
            if (hold) {
                waiting = true;
                changed.notify_all();
                changed.wait(lock, [this] { return !hold; });
                waiting = false;
            }
        }
        return ImageDisk::readBlocksImpl(rawBlock, count, buffer);
    }
    void setHold(bool on) {
        std::lock_guard<std::mutex> lock(mutex);
        hold = on;
        changed.notify_all();
    }
    bool isWaiting() {
        std::lock_guard<std::mutex> lock(mutex);
        return waiting;
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool hold = false;
    bool waiting = false;
    std::atomic<int> delayMs{0};  // each read takes this long
};

inline void snapshot(QWidget* window, const QString& name) {
    const QString dir = qEnvironmentVariable("VORN_SCREENSHOTS");
    if (dir.isEmpty()) return;
    QCoreApplication::processEvents();
    QPixmap shot;
    if (QGuiApplication::platformName() == QLatin1String("xcb")) shot = QGuiApplication::primaryScreen()->grabWindow(0);
    if (shot.isNull()) shot = window->grab();
    QDir().mkpath(dir);
    shot.save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

// Windows whose media are missing; while one exists, every wait fails at
// once (the test has failed already: its first wait need not take a minute).
inline int& windowsMissingMedia() {
    static int count = 0;
    return count;
}

inline bool waitFor(const std::function<bool()>& cond, int timeoutMs = 60000) {
    if (windowsMissingMedia() > 0) return false;
    return QTest::qWaitFor(cond, timeoutMs);
}

struct Window {
    FakeDesktop desktop;
    std::vector<Disk*> disks;
    std::unique_ptr<gui::AppController> app;

    explicit Window(const std::vector<std::string>& media, bool held = false) {
        for (const std::string& name : media) {
            if (QFile::exists(QString::fromStdString(mediaPath(name)))) continue;
            ADD_FAILURE() << "missing test medium " << mediaPath(name) << " (made by: ctest -R make_media)";
            missing = true;
        }
        if (missing) ++windowsMissingMedia();
        gui::AppOptions options;
        options.desktop = &desktop;
        options.chooseDiskAtStart = false;
        options.makeDiskManager = [this, media, held] {
            auto* manager = new DiskManager();
            for (const std::string& name : media) {
                Disk* disk = held ? new HeldDisk(mediaPath(name)) : new ImageDisk(mediaPath(name));
                manager->addDisk(disk);
                disks.push_back(disk);
            }
            return manager;
        };
        app = std::make_unique<gui::AppController>(options);
        app->show();
    }
    ~Window() {
        if (missing) --windowsMissingMedia();
    }
    bool missing = false;
};

}  // namespace vorn::test
