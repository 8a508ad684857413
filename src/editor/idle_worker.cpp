#include "editor/idle_worker.h"

#include <utility>

namespace kolva {

bool IdleWorkerQueue::post(IdleWorkerPtr worker) {
    if (!worker) return false;
    ScopedLock lock(mutex_);
    if (queue_.size() >= kCapacity) return false;
    queue_.push_back(std::move(worker));
    return true;
}

std::size_t IdleWorkerQueue::runPending() {
    if (draining_.exchange(true, std::memory_order_acq_rel)) return 0;

    // Jobs run outside the lock: they may post further jobs, and a poster must never wait
    // for a job to finish.
    std::deque<IdleWorkerPtr> batch;
    {
        ScopedLock lock(mutex_);
        batch.swap(queue_);
    }
    std::size_t ran = 0;
    for (IdleWorkerPtr& worker : batch) {
        try {
            worker->run();
            ++ran;
        } catch (...) {
            // Called from the host's idle or the editor's timer: nothing may escape.
        }
        worker.reset(); // the job's resources go as soon as it has run
    }
    draining_.store(false, std::memory_order_release);
    return ran;
}

std::size_t IdleWorkerQueue::pending() const {
    ScopedLock lock(mutex_);
    return queue_.size();
}

void IdleWorkerQueue::clear() {
    std::deque<IdleWorkerPtr> dropped;
    {
        ScopedLock lock(mutex_);
        dropped.swap(queue_);
    }
    // Destroyed here, outside the lock: a job's destructor may post.
}

} // namespace kolva
