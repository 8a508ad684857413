#pragma once
// An in-process lock with lock / try-lock / unlock. Never taken on the audio thread
// (which only ever try-locks, and then only where a failed try has a silent fallback).

#include <mutex>

namespace kolva {

class Mutex {
public:
    Mutex() = default;
    virtual ~Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    virtual void lock() { mutex_.lock(); }
    virtual bool tryLock() { return mutex_.try_lock(); }
    virtual void unlock() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// RAII holder for any object with lock()/unlock().
template <typename Lockable> class ScopedLock {
public:
    explicit ScopedLock(Lockable& l) : lockable_(l) { lockable_.lock(); }
    ~ScopedLock() { lockable_.unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Lockable& lockable_;
};

} // namespace kolva
