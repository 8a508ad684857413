// State restores and automation from other threads while the audio thread renders. The
// ThreadSanitizer build (make check-threads) turns any unsynchronised engine write into a
// failure; every build checks that the last restore wins completely and the audio stays finite.

#include "plugin_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

namespace kolva::test {
namespace {

std::vector<char> saveChunk(HostedPlugin& p) {
    void* data = nullptr;
    const auto size = p.dispatch(effGetChunk, 0, 0, &data);
    if (size <= 0 || data == nullptr) return {};
    const char* bytes = static_cast<const char*>(data);
    return {bytes, bytes + size};
}

void restoreChunk(HostedPlugin& p, std::vector<char>& chunk) {
    p.dispatch(effSetChunk, 0, static_cast<VstIntPtr>(chunk.size()), chunk.data());
}

// A sound that differs from the defaults almost everywhere, but stays playable.
void randomSound(HostedPlugin& p, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int i = 0; i < kNumParameters; ++i)
        if (i != param::kMode && i != param::kVolume) p.setParameter(i, u(rng));
}

TEST(ThreadStress, RestoresAndAutomationNeverTearARenderingBlock) {
    FakeHost host;
    HostedPlugin p(host);
    p.start(48000.0f, 256);

    randomSound(p, 1);
    std::vector<char> first = saveChunk(p);
    randomSound(p, 2);
    std::vector<char> second = saveChunk(p);
    ASSERT_FALSE(first.empty());
    ASSERT_NE(first, second);

    std::atomic<bool> stop{false};
    std::atomic<int> blocks{0};
    std::atomic<bool> finite{true};
    std::thread audio([&] {
        int n = 0;
        while (!stop.load()) {
            p.sendMidi({noteOn(48 + n % 24, 100), noteOff(48 + (n + 7) % 24, 30), cc(1, n % 128, 3)});
            p.process(256);
            for (int i = 0; i < 256; ++i)
                if (!std::isfinite(p.left()[i]) || !std::isfinite(p.right()[i])) finite.store(false);
            blocks.fetch_add(1);
            ++n;
        }
    });
    std::thread automation([&] {
        int n = 0;
        while (!stop.load()) {
            p.setParameter(29 + n % 40, static_cast<float>(n % 10) / 10.0f);
            ++n;
            std::this_thread::yield();
        }
    });

    // The main thread: saves and restores, as a host does when it loads and saves projects.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1200);
    int restores = 0;
    while (std::chrono::steady_clock::now() < until || restores < 6) {
        restoreChunk(p, restores % 2 ? second : first);
        EXPECT_FALSE(saveChunk(p).empty());
        ++restores;
    }
    stop.store(true);
    automation.join();
    audio.join();
    EXPECT_GT(blocks.load(), 10);
    EXPECT_TRUE(finite.load());

    // With the other threads quiet, a restore is complete: every value is the saved one.
    restoreChunk(p, second);
    p.process(256);
    HostedPlugin fresh(host);
    fresh.start(48000.0f, 256);
    restoreChunk(fresh, second);
    for (int i = 0; i < kNumParameters; ++i)
        ASSERT_EQ(p.getParameter(i), fresh.getParameter(i)) << "parameter " << i;
}

} // namespace
} // namespace kolva::test
