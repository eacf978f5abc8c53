#include "gui/HintSpeech.h"

#include <QCoreApplication>
#include <QTimer>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace vorn::gui {

namespace {

using Clock = std::chrono::steady_clock;

// How long quitting waits for a call that has not been found stuck yet (one
// that is, is not waited for at all).
constexpr std::chrono::milliseconds kQuitWait{500};

}  // namespace

// Shared by the UI side and the speech thread; the thread holds it as long as
// it runs, so it outlives a HintSpeech that quit without waiting.
struct HintSpeech::State {
    std::mutex mutex;
    std::condition_variable wake;   // work or quit for the thread
    std::condition_variable ended;  // the thread is done
    MakeSpeaker make;
    std::chrono::milliseconds bound{0};
    QString pending;
    bool hasPending = false;
    bool stopPending = false;
    bool quit = false;
    bool finished = false;
    // A call into the voice (or its making) runs since callStart.
    bool inCall = false;
    Clock::time_point callStart;
    bool toldStuck = false;
};

HintSpeech::HintSpeech(MakeSpeaker make, std::chrono::milliseconds bound)
    : state(std::make_shared<State>()), timer(std::make_unique<QTimer>()) {
    state->make = std::move(make);
    state->bound = bound;
    timer->setSingleShot(true);
    QObject::connect(timer.get(), &QTimer::timeout, [this] { check(); });
    std::thread(run, state).detach();
}

HintSpeech::~HintSpeech() {
    std::unique_lock<std::mutex> lock(state->mutex);
    state->quit = true;
    state->hasPending = false;
    state->stopPending = false;
    state->wake.notify_all();
    const std::chrono::milliseconds wait = state->toldStuck ? std::chrono::milliseconds(0) : kQuitWait;
    if (!state->ended.wait_for(lock, wait, [this] { return state->finished; }))
        qInfo("quitting without waiting for the speech service");
}

void HintSpeech::say(const QString& text) {
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->pending = text;
        state->hasPending = true;
        state->wake.notify_one();
    }
    watch();
}

void HintSpeech::stop() {
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->pending.clear();
        state->hasPending = false;
        state->stopPending = true;
        state->wake.notify_one();
    }
    watch();
}

void HintSpeech::watch() {
    if (!timer->isActive()) timer->start(state->bound);
}

void HintSpeech::check() {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->inCall) {
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - state->callStart);
        if (waited < state->bound) {
            timer->start(state->bound - waited);
        } else if (!state->toldStuck) {
            state->toldStuck = true;
            qInfo("the speech service does not answer: hints are shown but not spoken until it does");
        }
        return;
    }
    // Work the thread has not taken yet: look again later.
    if (state->hasPending || state->stopPending) timer->start(state->bound);
}

void HintSpeech::run(std::shared_ptr<State> s) {
    std::unique_ptr<Speaker> speaker;
    bool made = false;
    std::unique_lock<std::mutex> lock(s->mutex);
    for (;;) {
        // Woken now and then also without work, to hand the voice what its
        // service posted to this thread (state changes).
        s->wake.wait_for(lock, std::chrono::seconds(1), [&] { return s->quit || s->hasPending || s->stopPending; });
        if (s->quit) break;
        const bool stopNow = std::exchange(s->stopPending, false);
        const bool sayNow = std::exchange(s->hasPending, false);
        const QString text = std::exchange(s->pending, QString());
        s->inCall = stopNow || sayNow;
        s->callStart = Clock::now();
        lock.unlock();
        if (sayNow && !made) {
            made = true;
            if (s->make) speaker = s->make();
        }
        if (speaker) {
            if (stopNow) speaker->stop();
            if (sayNow) speaker->say(text);
        } else if (sayNow) {
            qInfo("hint not spoken: %s", qUtf8Printable(text));
        }
        lock.lock();
        s->inCall = false;
        if (s->quit) break;
        if (std::exchange(s->toldStuck, false)) qInfo("the speech service answers again");
        lock.unlock();
        if (QCoreApplication::instance()) QCoreApplication::sendPostedEvents();
        lock.lock();
    }
    lock.unlock();
    speaker.reset();
    lock.lock();
    s->finished = true;
    s->ended.notify_all();
}

}  // namespace vorn::gui
