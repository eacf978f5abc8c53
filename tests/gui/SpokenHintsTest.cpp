// Spoken hints never hold up the window: with a voice whose calls do not
// return (a speech service that does not answer), the window stays live, its
// hints keep showing, the log says once that the service does not answer,
// and quitting does not wait for the voice.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "GuiTestSupport.h"
#include "gui/HintSpeech.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;

// Holds every call of the voice until released (or, as a hang guard, for
// 20 seconds).
struct VoiceGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    int entered = 0;
    int returned = 0;
    bool voiceGone = false;
    QStringList said;

    void hold() {
        std::unique_lock<std::mutex> lock(mutex);
        ++entered;
        changed.wait_for(lock, 20s, [this] { return released; });
        ++returned;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
    template <class T>
    T read(T VoiceGate::*field) {
        std::lock_guard<std::mutex> lock(mutex);
        return this->*field;
    }
};

struct StuckVoice : gui::Speaker {
    explicit StuckVoice(std::shared_ptr<VoiceGate> g) : gate(std::move(g)) {}
    ~StuckVoice() override {
        std::lock_guard<std::mutex> lock(gate->mutex);
        gate->voiceGone = true;
    }
    void say(const QString& text) override {
        {
            std::lock_guard<std::mutex> lock(gate->mutex);
            gate->said << text;
        }
        gate->hold();
    }
    void stop() override { gate->hold(); }
    std::shared_ptr<VoiceGate> gate;
};

// The desktop's own speech with that voice; alerts and panels as the fake's.
struct SpeakingDesktop : FakeDesktop {
    explicit SpeakingDesktop(const std::shared_ptr<VoiceGate>& gate) {
        setVoice([gate] { return std::make_unique<StuckVoice>(gate); }, 300ms);
    }
    void say(const QString& text) override { gui::Desktop::say(text); }
    void stopSpeaking() override { gui::Desktop::stopSpeaking(); }
};

// The Qt messages (the window's log lines) of every thread while it lives.
class LogCapture {
public:
    LogCapture() {
        std::lock_guard<std::mutex> lock(mutex());
        current() = this;
        previous = qInstallMessageHandler(handle);
    }
    ~LogCapture() {
        qInstallMessageHandler(previous);
        std::lock_guard<std::mutex> lock(mutex());
        current() = nullptr;
    }
    int count(const QString& line) {
        std::lock_guard<std::mutex> lock(mutex());
        return int(lines.count(line));
    }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static LogCapture*& current() {
        static LogCapture* c = nullptr;
        return c;
    }
    static void handle(QtMsgType, const QMessageLogContext&, const QString& text) {
        std::lock_guard<std::mutex> lock(mutex());
        if (current()) current()->lines << text;
    }
    QtMessageHandler previous = nullptr;
    QStringList lines;
};

void hover(gui::AppController* app, const char* identifier) {
    gui::HoverButton* button = app->toolButton(QString::fromLatin1(identifier));
    ASSERT_NE(button, nullptr) << identifier;
    QTest::mouseMove(button->window()->windowHandle(), button->mapTo(button->window(), button->rect().center()));
    QTest::mouseMove(button->window()->windowHandle(), button->mapTo(button->window(), QPoint(2, 2)));
}

TEST(GuiSpokenHints, AVoiceThatNeverAnswersLeavesTheWindowLiveAndQuittingDoesNotWaitForIt) {
    const QString stuckLine = QStringLiteral("the speech service does not answer: hints are shown but not spoken until it does");
    auto gate = std::make_shared<VoiceGate>();
    LogCapture log;
    auto desktop = std::make_unique<SpeakingDesktop>(gate);
    Driver w({"camera_card.img"}, false, [&](gui::AppOptions& options) { options.desktop = desktop.get(); });
    w.chooseDisk();
    // The window's own clock: it ticks only while the UI thread runs.
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);

    QTest::mouseClick(w.app->speakHintsCheckbox(), Qt::LeftButton);
    ASSERT_TRUE(w.app->speakHintsCheckbox()->isChecked());
    ASSERT_TRUE(waitFor([&] { return gate->read(&VoiceGate::entered) == 1; }, 20000)) << "the hint on show is spoken";
    const int ticksAtHold = ticks;
    ASSERT_TRUE(waitFor([&] { return ticks >= ticksAtHold + 10; }, 20000));
    EXPECT_EQ(gate->read(&VoiceGate::returned), 0) << "the window ran while the voice held its call";

    // Hovering two buttons: their hints show in turn, the voice is not
    // called again while it holds a call, and the log says so once.
    for (const char* button : {"ChooseDisk", "DeletedFilesScan"}) {
        hover(w.app.get(), button);
        const QString hint = uiText((std::string(button) + "ToolHint").c_str(), {QStringLiteral("vorn")});
        EXPECT_TRUE(waitFor([&] { return w.app->helpTextView()->text() == hint; }, 20000)) << button;
    }
    EXPECT_TRUE(waitFor([&] { return log.count(stuckLine) > 0; }, 20000));
    EXPECT_EQ(log.count(stuckLine), 1);
    EXPECT_EQ(gate->read(&VoiceGate::entered), 1);
    EXPECT_EQ(gate->read(&VoiceGate::said), QStringList{uiText("ChooseDiskHint", {QStringLiteral("vorn data recovery"),
                                                                                 QStringLiteral("vorn")})});

    // Closing the window ends it (Ctrl+Q closes it alike where the desktop
    // binds it; the offscreen platform binds no Quit key); the speech goes
    // with the desktop without waiting for the call the voice holds.
    QSignalSpy closed(w.app.get(), &gui::AppController::windowClosed);
    w.app->close();
    EXPECT_TRUE(waitFor([&] { return closed.count() == 1; }, 20000));
    w.app.reset();
    desktop.reset();
    EXPECT_EQ(gate->read(&VoiceGate::returned), 0) << "quitting waited for the voice";
    EXPECT_EQ(log.count(QStringLiteral("quitting without waiting for the speech service")), 1);

    // Should the service answer after all, the speech thread frees its voice.
    gate->release();
    EXPECT_TRUE(waitFor([&] { return gate->read(&VoiceGate::voiceGone); }, 20000));
}

}  // namespace
}  // namespace vorn::test
