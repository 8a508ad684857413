#pragma once
// Idle workers: how threads other than the editor's (the workspace rescan, network callbacks,
// the host's state restore) get work done on the editor thread, where the event bus and the
// views live. They post a job; the editor's timer drains the queue and runs the jobs, which
// then publish events. While no editor is open the plug-in drains the same queue from the
// host's main-thread idle, so jobs that only concern the preset library still run.
//
// Thread rule: post() and pending() from any thread; runPending() from the one thread that
// owns the bus at the time (editor timer or host idle).

#include "platform/mutex.h"

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>

namespace kolva {

// A job for the editor thread. Shared ownership: the poster may keep a reference (to cancel
// or to read a result) while the queue holds another.
class IdleWorkerBase {
public:
    virtual ~IdleWorkerBase() = default;
    virtual void run() = 0;
};

using IdleWorkerPtr = std::shared_ptr<IdleWorkerBase>;

class IdleWorkerQueue {
public:
    // Far more than a burst of rescan and network results; a drain that stalls (no editor,
    // a host without idle calls) then refuses jobs instead of growing without bound.
    static constexpr std::size_t kCapacity = 4096;

    IdleWorkerQueue() = default;
    IdleWorkerQueue(const IdleWorkerQueue&) = delete;
    IdleWorkerQueue& operator=(const IdleWorkerQueue&) = delete;

    // False (job dropped) for null or when kCapacity jobs are waiting.
    bool post(IdleWorkerPtr worker);

    // Runs, in posting order, the jobs that were waiting when the call began; jobs they post
    // wait for the next drain. A job that throws is dropped and the rest still run. Returns
    // the number of jobs that completed; 0 when a drain is already running (nested or on another
    // thread), so no two jobs ever run at once.
    std::size_t runPending();

    std::size_t pending() const;
    // Drops every waiting job without running it (editor and plug-in teardown).
    void clear();

private:
    mutable Mutex mutex_;
    std::deque<IdleWorkerPtr> queue_;
    std::atomic<bool> draining_{false};
};

} // namespace kolva
