#pragma once
// Counts heap allocations made by the current thread while armed. Wrapped around the host's
// real-time calls (processEvents, processReplacing, automation on the audio thread) to prove
// they never allocate.

namespace kolva::test {

class AllocationGuard {
public:
    AllocationGuard();  // arms counting on this thread
    ~AllocationGuard(); // disarms
    AllocationGuard(const AllocationGuard&) = delete;
    AllocationGuard& operator=(const AllocationGuard&) = delete;
    long count() const; // allocations seen since this guard was armed
private:
    long start_;
};

// Suspends counting on this thread for its lifetime: work done by the host inside its own
// callback is the host's business, not the plug-in's.
class AllocationGuardPause {
public:
    AllocationGuardPause();
    ~AllocationGuardPause();
    AllocationGuardPause(const AllocationGuardPause&) = delete;
    AllocationGuardPause& operator=(const AllocationGuardPause&) = delete;

private:
    bool wasArmed_;
};

// True when the guard sees malloc-level allocations too (sanitizer builds), not only new.
bool allocationGuardSeesMalloc();

} // namespace kolva::test
