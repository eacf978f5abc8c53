#include "gui/PreviewWorker.h"

#include <algorithm>

#include "gui/CrashHandler.h"

namespace vorn::gui {

PreviewWorker::PreviewWorker(Build buildFunction, QObject* parent) : QThread(parent), build(std::move(buildFunction)) {
    qRegisterMetaType<vorn::gui::PreviewResult>();
    start(QThread::LowPriority);
}

PreviewWorker::~PreviewWorker() { stop(); }

void PreviewWorker::stop() {
    {
        QMutexLocker lock(&queueMutex);
        stopFlag = true;
        queue.clear();
    }
    hasWork.wakeAll();
    if (QThread::currentThread() != this) wait();
}

u64 PreviewWorker::reset(const std::vector<int>& indexes) {
    QMutexLocker lock(&queueMutex);
    queue.assign(indexes.begin(), indexes.end());
    // The worker starts on this queue with the first request (a paint).
    return ++currentGeneration;
}

void PreviewWorker::request(const std::vector<int>& indexes) {
    if (indexes.empty()) return;
    QMutexLocker lock(&queueMutex);
    for (auto it = indexes.rbegin(); it != indexes.rend(); ++it) {
        queue.erase(std::remove(queue.begin(), queue.end(), *it), queue.end());
        queue.push_front(*it);
    }
    hasWork.wakeAll();
}

std::vector<int> PreviewWorker::queued() const {
    QMutexLocker lock(&queueMutex);
    return std::vector<int>(queue.begin(), queue.end());
}

void PreviewWorker::run() {
    const ThreadSignalStack signalStack;
    for (;;) {
        int index;
        u64 generation;
        {
            QMutexLocker lock(&queueMutex);
            while (!stopFlag && queue.empty()) hasWork.wait(&queueMutex);
            if (stopFlag) return;
            index = queue.front();
            queue.pop_front();
            generation = currentGeneration.load();
        }
        // Built outside the queue lock: the UI thread may queue meanwhile.
        PreviewResult result = build(index, generation);
        if (stopFlag) return;
        if (isCurrent(generation)) emit built(generation, index, result);
    }
}

}  // namespace vorn::gui
