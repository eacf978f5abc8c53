// Spoken hints on a thread of their own, so that a speech service that does
// not answer never holds up the window.
//
// Only the newest hint waits to be spoken: one that comes while another is
// being said replaces the one waiting. A call into the voice that has not
// returned within the bound is told once in the log ("the speech service does
// not answer: ..."); the hints keep showing on screen, and the next one waits
// for the voice to return. The destructor never waits on such a call: the
// thread is left behind and frees its voice itself once the call returns, or
// ends with the process.
//
// Thread use: say(), stop() and the destructor on the UI thread (the bound is
// watched by a timer there); the Speaker is made, used and deleted on the
// speech thread only.
#pragma once

#include <QString>
#include <chrono>
#include <functional>
#include <memory>

class QTimer;

namespace vorn::gui {

// The voice behind spoken hints. Its calls may block for as long as the
// speech service keeps them; they are only ever made on the speech thread.
class Speaker {
public:
    virtual ~Speaker() = default;
    virtual void say(const QString& text) = 0;
    virtual void stop() = 0;
};

class HintSpeech {
public:
    // Null when there is no voice: hints are then logged as not spoken.
    using MakeSpeaker = std::function<std::unique_ptr<Speaker>()>;

    // make runs on the speech thread when the first hint comes (so that no
    // speech service is started before hints are asked for).
    HintSpeech(MakeSpeaker make, std::chrono::milliseconds bound);
    ~HintSpeech();
    HintSpeech(const HintSpeech&) = delete;
    HintSpeech& operator=(const HintSpeech&) = delete;

    void say(const QString& text);
    // Stops what is being said; a hint still waiting is dropped.
    void stop();

private:
    struct State;
    static void run(std::shared_ptr<State> state);
    void watch();
    void check();

    std::shared_ptr<State> state;
    std::unique_ptr<QTimer> timer;
};

}  // namespace vorn::gui
