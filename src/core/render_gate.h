#pragma once
// Keeps structural engine changes (prepare, reset from the host's thread, engine on/off, state
// restore) from overlapping a block. The audio thread never waits: if a change is under way it
// skips the block (silence). The changing thread waits until the current block has finished.

#include <atomic>
#include <mutex>
#include <thread>

namespace kolva {

class RenderGate {
public:
    // Audio thread. False: a change is in progress; render nothing this time.
    bool tryEnterRender() {
        rendering_.store(true, std::memory_order_seq_cst);
        if (changing_.load(std::memory_order_seq_cst)) {
            rendering_.store(false, std::memory_order_release);
            return false;
        }
        return true;
    }
    void exitRender() { rendering_.store(false, std::memory_order_release); }

    // Any other thread: blocks further renders and waits for a running one to finish.
    void beginChange() {
        mutex_.lock();
        changing_.store(true, std::memory_order_seq_cst);
        while (rendering_.load(std::memory_order_seq_cst)) std::this_thread::yield();
    }
    void endChange() {
        changing_.store(false, std::memory_order_release);
        mutex_.unlock();
    }

    class Change {
    public:
        explicit Change(RenderGate& g) : gate_(g) { gate_.beginChange(); }
        ~Change() { gate_.endChange(); }
        Change(const Change&) = delete;
        Change& operator=(const Change&) = delete;

    private:
        RenderGate& gate_;
    };

private:
    std::atomic<bool> rendering_{false};
    std::atomic<bool> changing_{false};
    std::mutex mutex_;
};

} // namespace kolva
