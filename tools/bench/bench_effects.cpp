// The effects chain's cost on its own, run straight on the engine at 48 kHz in blocks of 512
// frames of stereo noise: "Fx/<effect>" with only that effect on (the master stage always
// runs, "Fx/MasterOnly" is that floor), "Fx/FullChain" with every effect on and the shaper
// oversampled, and "Fx/SilentTail30s" the cost of 30 s of silence decaying through a long
// reverb and a high-feedback delay after a loud burst (denormals would show up here), next
// to "Fx/TailEffectsOnNoise", the same effects on noise.

#include "bench_effects.h"

#include "core/parameter_defs.h"
#include "engine/aplugin.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr float kRate = 48000.0f;
constexpr int kFrames = 512;

using Settings = std::vector<std::pair<const char*, float>>;

struct FxCase {
    const char* name;
    Settings settings;
    bool silentTail = false;
};

void set(kolva::APlugin& engine, const char* name, float value) {
    engine.setParameter(kolva::findParameter(name), value);
}

// One measured block, kept out of line so that a profiler can count it apart from the
// settling blocks (e.g. valgrind --tool=callgrind --collect-atstart=no
// --toggle-collect='*measuredBlock*').
[[gnu::noinline]] void measuredBlock(kolva::APlugin& engine, const std::vector<float>& inL,
                                     const std::vector<float>& inR, std::vector<float>& l,
                                     std::vector<float>& r) {
    l = inL;
    r = inR;
    engine.processEffects(kFrames, l.data(), r.data());
}

void effectBench(benchmark::State& state, const FxCase& c) {
    kolva::APlugin engine;
    engine.setSampleRate(kRate);
    engine.setBlockSize(kFrames);
    if (!engine.prepare()) {
        state.SkipWithError("engine could not be prepared");
        return;
    }
    for (int i = 0; i < kolva::kNumParameters; ++i)
        engine.setParameter(i, kolva::parameterDefs()[i].defaultValue);
    for (const auto& [name, value] : c.settings) set(engine, name, value);

    std::mt19937 rng(7);
    std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
    std::vector<float> inL(kFrames), inR(kFrames), l(kFrames), r(kFrames);
    for (int i = 0; i < kFrames; ++i) {
        inL[i] = noise(rng);
        inR[i] = noise(rng);
    }
    // Let the smoothers settle (and, for the tail, fill every line with sound).
    for (int b = 0; b < 200; ++b) {
        l = inL;
        r = inR;
        engine.processEffects(kFrames, l.data(), r.data());
    }
    if (c.silentTail) {
        std::fill(inL.begin(), inL.end(), 0.0f);
        std::fill(inR.begin(), inR.end(), 0.0f);
    }
    const std::int64_t tailBlocks = static_cast<std::int64_t>(30.0 * kRate / kFrames);
    std::int64_t frames = 0, blocks = 0;
    for (auto _ : state) {
        measuredBlock(engine, inL, inR, l, r);
        benchmark::DoNotOptimize(l[0]);
        frames += kFrames;
        // The tail case measures 30 s of decay, then starts over from a fresh burst.
        if (c.silentTail && ++blocks == tailBlocks) {
            state.PauseTiming();
            engine.reset();
            blocks = 0;
            state.ResumeTiming();
        }
    }
    state.counters["realtime_factor"] =
        benchmark::Counter(static_cast<double>(frames) / kRate, benchmark::Counter::kIsRate);
    state.SetItemsProcessed(frames);
}

} // namespace

void registerEffectBenchmarks() {
    // Long reverb, high-feedback delay, chorus and phaser: measured on noise and on silence
    // decaying through them, which must not cost more.
    static const Settings kTailEffects = {
        {"del_wet", 0.5f},  {"del_fback", 0.95f}, {"rev_wet", 0.6f}, {"rev_decay", 1.0f},
        {"rev_mode", 2.0f / 999.0f}, {"chr_wet", 0.5f}, {"phs_wet", 0.5f}};
    static const std::vector<FxCase> cases = {
        {"Fx/MasterOnly", {}},
        {"Fx/Shaper", {{"shp_wet", 0.7f}, {"shp_drive", 0.6f}, {"shp_hq", 0.0f}}},
        {"Fx/ShaperHQ", {{"shp_wet", 0.7f}, {"shp_drive", 0.6f}, {"shp_hq", 1.0f}}},
        {"Fx/Phaser", {{"phs_wet", 0.5f}}},
        {"Fx/Chorus", {{"chr_wet", 0.5f}}},
        {"Fx/Delay", {{"del_wet", 0.5f}, {"del_fback", 0.6f}}},
        {"Fx/Reverb", {{"rev_wet", 0.5f}}},
        {"Fx/Compressor", {{"x-comp", 0.7f}}},
        {"Fx/Equalizer", {{"eq_power", 1.0f}, {"soft", 1.0f}}},
        {"Fx/FullChain",
         {{"shp_wet", 0.7f}, {"shp_drive", 0.6f}, {"shp_hq", 1.0f}, {"phs_wet", 0.5f},
          {"chr_wet", 0.5f}, {"del_wet", 0.5f}, {"del_fback", 0.6f}, {"rev_wet", 0.5f},
          {"x-comp", 0.7f}, {"eq_power", 1.0f}, {"soft", 1.0f}}},
        {"Fx/TailEffectsOnNoise", kTailEffects},
        {"Fx/SilentTail30s", kTailEffects, true},
    };
    for (const FxCase& c : cases)
        benchmark::RegisterBenchmark(c.name, [&c](benchmark::State& s) { effectBench(s, c); })
            ->Unit(benchmark::kMicrosecond);
}
