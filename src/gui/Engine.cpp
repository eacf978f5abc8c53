#include "gui/Engine.h"

#include <QMetaObject>
#include <QThread>
#include <cstdlib>

#include "gui/AppLog.h"
#include "gui/CrashHandler.h"
#include "recovery/Recovery.h"
#include "storage/DiskManager.h"

namespace vorn::gui {

namespace {
std::atomic<bool> g_strict{false};
}

// ---- gate

bool EngineGate::tryEnter() {
    QMutexLocker lock(&mutex);
    const Qt::HANDLE self = QThread::currentThreadId();
    if (depth > 0 && holder != self) return false;
    holder = self;
    ++depth;
    return true;
}

void EngineGate::enter() {
    QMutexLocker lock(&mutex);
    const Qt::HANDLE self = QThread::currentThreadId();
    ++blockedEnters;
    while (depth > 0 && holder != self) freed.wait(&mutex);
    --blockedEnters;
    holder = self;
    ++depth;
}

bool EngineGate::tryEnterFor(int ms) {
    QMutexLocker lock(&mutex);
    const Qt::HANDLE self = QThread::currentThreadId();
    QDeadlineTimer deadline(ms);
    while ((depth > 0 && holder != self) || (depth == 0 && blockedEnters > 0)) {
        if (!freed.wait(&mutex, deadline)) return false;
    }
    holder = self;
    ++depth;
    return true;
}

void EngineGate::leave() {
    QMutexLocker lock(&mutex);
    if (depth == 0 || holder != QThread::currentThreadId()) {
        appendLogLine(QStringLiteral("[gate] left by a thread that does not hold it"));
        if (g_strict) std::abort();
        return;
    }
    if (--depth == 0) {
        holder = nullptr;
        freed.wakeAll();
    }
}

bool EngineGate::heldByCurrentThread() const {
    QMutexLocker lock(&mutex);
    return depth > 0 && holder == QThread::currentThreadId();
}

bool EngineGate::check(const char* what) const {
    if (heldByCurrentThread()) return true;
    appendLogLine(QStringLiteral("[gate] engine call (%1) from a thread that may not use the engine now")
                      .arg(QString::fromLatin1(what)));
    if (g_strict) std::abort();
    return false;
}

void EngineGate::setStrict(bool strict) { g_strict = strict; }

// ---- engine

Engine::Engine(std::unique_ptr<DiskManager> diskManager, QObject* parent)
    : Engine(std::move(diskManager), nullptr, parent) {}

Engine::Engine(std::unique_ptr<DiskManager> diskManager, std::unique_ptr<Recovery> recovery, QObject* parent)
    : QObject(parent),
      manager(std::move(diskManager)),
      engineRecovery(recovery ? std::move(recovery) : std::make_unique<Recovery>()) {
    // No file the engine writes may land on a file behind any listed disk.
    engineRecovery->setDiskManager(manager.get());
    worker = std::thread([this] {
        const ThreadSignalStack signalStack;
        run();
    });
}

Engine::~Engine() {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        stopFlag = true;
        released = true;
    }
    wake.notify_all();
    if (worker.joinable()) worker.join();
    // The jobs that never ran are dropped; the engine objects go on this
    // thread, which now holds the gate alone.
    engineGate.enter();
    engineRecovery.reset();
    manager.reset();
    engineGate.leave();
}

Recovery* Engine::recovery() { return engineGate.check("recovery") ? engineRecovery.get() : nullptr; }

DiskManager* Engine::diskManager() { return engineGate.check("disk manager") ? manager.get() : nullptr; }

void Engine::post(std::function<void()> work, std::function<void()> done, u64 generation) {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        jobs.push_back(Job{std::move(work), std::move(done), generation});
        ++pendingJobs;
    }
    wake.notify_all();
}

void Engine::postFetch(std::function<void()> work, u64 generation) {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        fetches.push_back(Job{std::move(work), {}, generation});
    }
    wake.notify_all();
}

void Engine::runFetches() {
    for (;;) {
        Job fetch;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            if (fetches.empty() || stopFlag) return;
            fetch = std::move(fetches.front());
            fetches.pop_front();
        }
        if (fetch.generation == currentGeneration.load()) fetch.work();
    }
}

void Engine::run() {
    for (;;) {
        Job job;
        bool isFetch = false;
        {
            std::unique_lock<std::mutex> lock(queueMutex);
            wake.wait(lock, [this] { return stopFlag || !jobs.empty() || !fetches.empty(); });
            if (stopFlag) return;
            if (!jobs.empty()) {
                job = std::move(jobs.front());
                jobs.pop_front();
            } else {
                job = std::move(fetches.front());
                fetches.pop_front();
                isFetch = true;
            }
        }
        const bool current = job.generation == 0 || job.generation == currentGeneration.load();
        engineGate.enter();
        if (current) job.work();
        engineGate.leave();
        if (isFetch) continue;
        std::function<void()> done = current ? std::move(job.done) : std::function<void()>();
        QMetaObject::invokeMethod(
            this,
            [this, done = std::move(done)] {
                const bool last = --pendingJobs == 0;
                if (done) done();
                if (last) emit idle();
            },
            Qt::QueuedConnection);
    }
}

void Engine::park(std::function<void()> onUiThread) {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (stopFlag) return;
        parked = true;
        released = false;
    }
    engineGate.leave();
    QMetaObject::invokeMethod(this, std::move(onUiThread), Qt::QueuedConnection);
    {
        std::unique_lock<std::mutex> lock(queueMutex);
        wake.wait(lock, [this] { return released || stopFlag.load(); });
        parked = false;
    }
    engineGate.enter();
    runFetches();
}

void Engine::release() {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (!parked) return;
        released = true;
    }
    wake.notify_all();
}

}  // namespace vorn::gui
