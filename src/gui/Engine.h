// The engine of the window and the one thread that runs it.
//
// Every engine call that may read a medium or change results runs on the
// engine thread, in the order it was posted: commands (ordered jobs) and
// outline fetches (side jobs, run when no ordered job waits, or while the
// running job is parked). The UI thread never waits for the engine: it uses
// the engine only while the gate is free (the engine idle or parked in a
// callback) and otherwise paints what its adapters fetched last.
//
// The gate guards every engine call: recovery() and diskManager() hand out
// the engine objects only to the thread that holds it; a call from another
// thread is logged and, in strict mode (tests), aborts.
//
// Parking: a listener callback on the engine thread calls park(); the engine
// lets go of the gate, the UI thread runs the given function, and the engine
// waits until the UI calls release(), then runs the fetches queued meanwhile.
//
// Generations: the UI bumps the generation before a call that replaces
// results; a side job posted under an older generation is dropped, since the
// items it names are gone or about to go.
//
// Ownership: owns the Recovery and the disk manager; destroys them on the
// UI thread after the engine thread has stopped.
#pragma once

#include <QMutex>
#include <QObject>
#include <QWaitCondition>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "misc/Types.h"

namespace vorn {
class DiskManager;
class Recovery;
class RecoveryEventListener;
}  // namespace vorn

namespace vorn::gui {

class EngineGate {
public:
    // Non-blocking: true when the calling thread now holds the gate.
    bool tryEnter();
    // Blocking; only the engine thread waits for the gate.
    void enter();
    // Waits at most ms for the gate, behind the engine thread when that
    // waits too (the preview workers: they read between the engine's steps).
    bool tryEnterFor(int ms);
    void leave();
    bool heldByCurrentThread() const;
    // The guard of every engine call: true when the calling thread holds
    // the gate; otherwise logs what was called and, when strict, aborts.
    bool check(const char* what) const;
    static void setStrict(bool strict);

private:
    mutable QMutex mutex;
    QWaitCondition freed;
    Qt::HANDLE holder = nullptr;
    int depth = 0;
    int blockedEnters = 0;
};

// Holds the gate for a scope when it was free; test it before use.
class GateAccess {
public:
    explicit GateAccess(EngineGate& gate) : gate(gate), held(gate.tryEnter()) {}
    ~GateAccess() {
        if (held) gate.leave();
    }
    GateAccess(const GateAccess&) = delete;
    GateAccess& operator=(const GateAccess&) = delete;
    explicit operator bool() const { return held; }

private:
    EngineGate& gate;
    bool held;
};

class Engine : public QObject {
    Q_OBJECT
public:
    explicit Engine(std::unique_ptr<DiskManager> diskManager, QObject* parent = nullptr);
    // With a Recovery of the caller's (a test's); a plain one when null.
    Engine(std::unique_ptr<DiskManager> diskManager, std::unique_ptr<Recovery> recovery, QObject* parent = nullptr);
    ~Engine() override;

    // Gate-checked access to the engine objects.
    Recovery* recovery();
    DiskManager* diskManager();
    EngineGate& gate() { return engineGate; }

    // Runs work on the engine thread after every job posted before; then
    // done on the UI thread. Dropped (done too) when generation is not 0
    // and no longer current.
    void post(std::function<void()> work, std::function<void()> done = {}, u64 generation = 0);
    // An outline fetch: runs when no ordered job waits, or at the next park.
    void postFetch(std::function<void()> work, u64 generation);
    u64 generation() const { return currentGeneration.load(); }
    u64 bumpGeneration() { return ++currentGeneration; }
    // True while an ordered job waits or runs.
    bool busy() const { return pendingJobs.load() > 0; }
    bool stopping() const { return stopFlag.load(); }

    // Engine thread, inside a listener callback: see the class comment.
    void park(std::function<void()> onUiThread);
    // UI thread: lets the parked engine go on.
    void release();
    bool isEngineThread() const { return std::this_thread::get_id() == worker.get_id(); }

signals:
    // An ordered job has finished and none waits (UI thread).
    void idle();

private:
    struct Job {
        std::function<void()> work;
        std::function<void()> done;
        u64 generation = 0;
    };

    void run();
    // Runs the queued fetches; the engine thread holds the gate. Takes the lock.
    void runFetches();

    EngineGate engineGate;
    std::unique_ptr<DiskManager> manager;
    std::unique_ptr<Recovery> engineRecovery;

    std::mutex queueMutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    std::deque<Job> fetches;
    bool parked = false;
    bool released = false;
    std::atomic<bool> stopFlag{false};
    std::atomic<int> pendingJobs{0};
    std::atomic<u64> currentGeneration{1};
    std::thread worker;
};

}  // namespace vorn::gui
