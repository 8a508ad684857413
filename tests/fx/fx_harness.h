#pragma once
// An engine prepared at a given rate and block size whose effect modules tests drive directly:
// parameters go in by name through the engine's routing (so bindings are the real ones), and
// blocks are passed straight to one effect's process().

#include "core/parameter_defs.h"
#include "engine/aplugin.h"
#include "engine/module_matrix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace kolva::test {

class FxHarness {
public:
    explicit FxHarness(float sampleRate = 44100.0f, int blockSize = 256)
        : rate(sampleRate), block(blockSize) {
        engine.setSampleRate(sampleRate);
        engine.setBlockSize(blockSize);
        EXPECT_TRUE(engine.prepare());
        for (int i = 0; i < kNumParameters; ++i)
            engine.setParameter(i, parameterDefs()[i].defaultValue);
    }

    template <class T> T& module(int number) { return *static_cast<T*>(engine.module(number)); }

    void set(const char* name, float value) {
        const int index = findParameter(name);
        ASSERT_GE(index, 0) << name;
        engine.setParameter(index, value);
    }
    // Option k of a selector parameter.
    void option(const char* name, int k) { set(name, static_cast<float>(k) / 999.0f); }

    // Routes matrix slot `slot` (0..14): source code -> destination code with a bipolar
    // amount (-1..1), then recompiles the routing.
    void route(int slot, int sourceCode, int destinationCode, float amount) {
        const int base = 288 + slot * 10;
        engine.setParameter(base + 0, static_cast<float>(sourceCode) / 999.0f);
        engine.setParameter(base + 2, amount * 0.5f + 0.5f);
        engine.setParameter(base + 3, static_cast<float>(destinationCode) / 999.0f);
        engine.rebuildRouting();
    }

    // Runs `process` over a whole signal in blocks of `block` frames.
    template <class Fx> void run(Fx& fx, std::vector<float>& left, std::vector<float>& right) {
        const int n = static_cast<int>(left.size());
        for (int i = 0; i < n; i += block) {
            const int frames = std::min(block, n - i);
            fx.process(frames, left.data() + i, right.data() + i);
        }
    }

    float rate;
    int block;
    APlugin engine;
};

inline std::vector<float> sine(int n, float hz, float rate, float amplitude = 0.5f) {
    std::vector<float> x(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        x[static_cast<std::size_t>(i)] =
            amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * i / rate));
    return x;
}

inline std::vector<float> impulse(int n, int at = 0, float amplitude = 1.0f) {
    std::vector<float> x(static_cast<std::size_t>(n), 0.0f);
    if (at >= 0 && at < n) x[static_cast<std::size_t>(at)] = amplitude;
    return x;
}

// Uniform noise in [-amplitude, amplitude], repeatable by seed.
inline std::vector<float> noise(int n, unsigned seed, float amplitude = 0.5f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-amplitude, amplitude);
    std::vector<float> x(static_cast<std::size_t>(n));
    for (float& v : x) v = d(rng);
    return x;
}

inline double maxAbs(const std::vector<float>& x) {
    double m = 0.0;
    for (float v : x) m = std::max(m, static_cast<double>(std::fabs(v)));
    return m;
}

inline double rms(const std::vector<float>& x, std::size_t from = 0, std::size_t to = 0) {
    if (to == 0 || to > x.size()) to = x.size();
    double s = 0.0;
    for (std::size_t i = from; i < to; ++i) s += static_cast<double>(x[i]) * x[i];
    return to > from ? std::sqrt(s / static_cast<double>(to - from)) : 0.0;
}

} // namespace kolva::test
