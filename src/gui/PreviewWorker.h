// One thread that builds previews one at a time, newest request first.
//
// The UI thread queues cell or row indexes; each reset starts a new
// generation with a fresh queue. The worker takes the newest entry under
// its queue lock, lets go of the lock, builds (the build function reaches
// the engine on its own terms, see ItemPreviews), and hands the result to
// the UI thread by a queued signal carrying the generation, so that results
// of an older generation can be dropped on arrival. The worker never waits
// for the UI thread.
//
// Ownership: the build function is owned; the thread stops and is joined by
// stop() or the destructor.
#pragma once

#include <QMutex>
#include <QThread>
#include <QWaitCondition>
#include <atomic>
#include <deque>
#include <functional>
#include <vector>

#include "gui/Preview.h"
#include "misc/Types.h"

namespace vorn::gui {

class PreviewWorker : public QThread {
    Q_OBJECT
public:
    // Runs on the worker thread for one index of a generation.
    using Build = std::function<PreviewResult(int index, u64 generation)>;

    explicit PreviewWorker(Build build, QObject* parent = nullptr);
    ~PreviewWorker() override;

    // A new generation whose queue holds these indexes in this order; the
    // worker starts on it with the next request.
    u64 reset(const std::vector<int>& queue);
    // Puts the indexes at the front of the queue so that the first of them
    // is built next (each leaves its older place in the queue).
    void request(const std::vector<int>& indexes);
    void stop();
    bool stopping() const { return stopFlag.load(); }
    u64 generation() const { return currentGeneration.load(); }
    bool isCurrent(u64 generation) const { return generation == currentGeneration.load(); }
    std::vector<int> queued() const;

signals:
    void built(quint64 generation, int index, const vorn::gui::PreviewResult& result);

protected:
    void run() override;

private:
    Build build;
    mutable QMutex queueMutex;
    QWaitCondition hasWork;
    std::deque<int> queue;
    std::atomic<bool> stopFlag{false};
    std::atomic<u64> currentGeneration{0};
};

}  // namespace vorn::gui

Q_DECLARE_METATYPE(vorn::gui::PreviewResult)
