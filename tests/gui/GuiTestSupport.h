#pragma once

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QPushButton>
#include <QToolButton>
#include <QTreeView>
#include <QDir>
#include <QDirIterator>
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
#include "gui/Engine.h"
#include "gui/HoverButton.h"
#include "gui/ProgressSheet.h"
#include "gui/StringTable.h"
#include "gui/TreeAdapter.h"
#include "fs/VolumeItem.h"
#include "recovery/Recovery.h"
#include "storage/DiskManager.h"
#include "storage/ImageDisk.h"

namespace vorn::test {

struct FakeDesktop : gui::Desktop {
    std::deque<int> answers;  // kEnter: the default button
    static constexpr int kEnter = -2;
    std::deque<QString> folders, saveFiles, openFiles;
    QStringList asked;  // alert titles
    QStringList texts;  // and their texts
    QStringList spoken;
    QStringList helpOpened;  // paths
    bool helpOpens = true;
    int sounds = 0;
    std::function<void()> onAsk;

    int ask(QWidget*, const QString& title, const QString& text, const QStringList&, int defaultButton) override {
        asked << title;
        texts << text;
        if (onAsk) onAsk();
        if (answers.empty()) return 0;
        const int answer = answers.front();
        answers.pop_front();
        return answer == kEnter ? defaultButton : answer;
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
    void openHelp(QWidget*, const QString& path, std::function<void()> failed) override {
        helpOpened << path;
        if (!helpOpens) failed();
    }
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

// A text of the window's string table, filled in.
inline QString uiText(const char* key, const QStringList& args = {}) {
    return gui::uiStrings().format(QString::fromLatin1(key), args);
}

inline int filesUnder(const QString& folder) {
    int count = 0;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext(); it.next()) ++count;
    return count;
}

inline bool waitFor(const std::function<bool()>& cond, int timeoutMs = 60000) {
    if (windowsMissingMedia() > 0) return false;
    return QTest::qWaitFor(cond, timeoutMs);
}

// A medium by its name under the media folder, or by its absolute path.
inline std::string mediumFile(const std::string& name) { return name.rfind('/', 0) == 0 ? name : mediaPath(name); }

struct Window {
    FakeDesktop desktop;
    std::vector<Disk*> disks;
    std::unique_ptr<gui::AppController> app;

    // tweak may change the window's options before it is made.
    explicit Window(const std::vector<std::string>& media, bool held = false,
                    const std::function<void(gui::AppOptions&)>& tweak = {}) {
        for (const std::string& name : media) {
            if (QFile::exists(QString::fromStdString(mediumFile(name)))) continue;
            ADD_FAILURE() << "missing test medium " << mediumFile(name) << " (made by: ctest -R make_media)";
            missing = true;
        }
        if (missing) ++windowsMissingMedia();
        gui::AppOptions options;
        options.desktop = &desktop;
        options.chooseDiskAtStart = false;
        options.makeDiskManager = [this, media, held] {
            auto* manager = new DiskManager();
            for (const std::string& name : media) {
                Disk* disk = held ? new HeldDisk(mediumFile(name)) : new ImageDisk(mediumFile(name));
                manager->addDisk(disk);
                disks.push_back(disk);
            }
            return manager;
        };
        if (tweak) tweak(options);
        app = std::make_unique<gui::AppController>(options);
        app->show();
    }
    ~Window() {
        if (missing) --windowsMissingMedia();
    }
    bool missing = false;
};

// Driving the window as a user does: buttons, rows, and waiting for the
// command to finish.
inline QByteArray sha256(const QByteArray& bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex(); }

inline QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void clickThroughWindow(QWidget* widget) {
    QWidget* top = widget->window();
    QTest::mouseClick(top->windowHandle(), Qt::LeftButton, {}, widget->mapTo(top, widget->rect().center()));
}

inline void clickRow(QAbstractItemView* view, const QModelIndex& index, Qt::KeyboardModifiers modifiers = {}) {
    view->scrollTo(index);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, modifiers, view->visualRect(index).center());
}

struct Driver : Window {
    using Window::Window;
    QSignalSpy finished{app.get(), &gui::AppController::commandFinished};

    void run(const char* button, const QString& command) {
        const qsizetype before = finished.size();
        QToolButton* b = app->toolButton(QString::fromLatin1(button));
        ASSERT_NE(b, nullptr) << button;
        ASSERT_TRUE(b->isEnabled()) << button;
        QTest::mouseClick(b, Qt::LeftButton);
        waitFinished(command, before);
    }
    void trigger(gui::Action action, const QString& command) {
        const qsizetype before = finished.size();
        ASSERT_TRUE(app->action(action)->isEnabled()) << command.toStdString();
        app->action(action)->trigger();
        waitFinished(command, before);
    }
    void waitFinished(const QString& command, qsizetype before) {
        ASSERT_TRUE(waitFor([&] {
            for (qsizetype i = before; i < finished.size(); ++i)
                if (finished.at(i).value(0).toString() == command) return true;
            return false;
        })) << command.toStdString();
        EXPECT_FALSE(app->progressSheet()->isVisible()) << command.toStdString();
    }
    QModelIndex row(const std::vector<int>& path) {
        QModelIndex index;
        for (size_t i = 0; i < path.size(); ++i) {
            index = app->treeAdapter()->index(path[i], 0, index);
            if (!index.isValid()) break;
        }
        return index;
    }
    void selectRow(const std::vector<int>& path, Qt::KeyboardModifiers modifiers = {}) {
        ASSERT_TRUE(waitFor([&] {
            QModelIndex index;
            for (int r : path) {
                if (index.isValid()) app->outlineView()->expand(index);
                index = app->treeAdapter()->index(r, 0, index);
                if (!index.isValid()) return false;
            }
            return true;
        }));
        clickRow(app->outlineView(), row(path), modifiers);
    }
    void chooseDisk(int disk = 0) {
        run("ChooseDisk", QStringLiteral("chooseDisk"));
        selectRow({0, disk});
        ASSERT_TRUE(waitFor([&] { return app->selectedDisk() != nullptr; }));
    }
    // The first volume's first folder, its files in the table.
    void openFirstFolder() {
        chooseDisk();
        run("BrowseVolume", QStringLiteral("browseVolume"));
        selectRow({0, 0});
        ASSERT_TRUE(waitFor([&] { return app->selectedFolder() != nullptr; }));
    }
    void startDeletedScan() {
        QTest::mouseClick(app->toolButton(QStringLiteral("DeletedFilesScan")), Qt::LeftButton);
        ASSERT_TRUE(waitFor([&] { return app->scanWindow()->isVisible(); }));
        QTest::mouseClick(app->scanWindow()->findChild<QPushButton*>(QStringLiteral("startScanButton")), Qt::LeftButton);
    }
    u64 resultFiles() {
        gui::EngineGate& gate = app->engine()->gate();
        EXPECT_TRUE(waitFor([&] { return gate.tryEnter(); }));
        u64 count = 0;
        std::function<void(VolumeItem*)> walk = [&](VolumeItem* item) {
            for (u32 i = 0; i < item->getChildCount(true); ++i) {
                VolumeItem* child = item->getChild(i, true);
                child->isContainer() ? walk(child) : void(++count);
            }
        };
        if (VolumeItem* root = app->engine()->recovery()->getRootItem()) walk(root);
        gate.leave();
        return count;
    }
    QString savedUnder(const QTemporaryDir& dir) {
        desktop.folders.push_back(dir.path());
        return dir.path();
    }
};

}  // namespace vorn::test
