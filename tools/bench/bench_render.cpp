// kolva-bench: rendering cost of a VST 2.4 plug-in loaded through the host library, at
// 44.1 kHz in blocks of 512 frames. "Idle" renders with no notes, "Held16" with sixteen
// notes held, "NoteStorm16" starts and releases sixteen notes in every block, and
// "FullMatrix16" holds sixteen notes with all fifteen modulation slots routed to per-sample
// destinations (Kolva only). "Osc/<type>" holds sixteen notes on one oscillator of that type
// with nine unison copies, "Classic4x9" on all four oscillators with nine copies each (Kolva
// only). "Filter/<type>" holds sixteen notes through filter 1 of that type with LFO1 sweeping
// its cutoff per sample; "Lfo4x16" runs all four LFOs per voice on sixteen notes. The
// realtime_factor counter is audio seconds rendered per CPU second; ns_per_copy_sample
// divides the CPU time by the oscillator copies rendered. The "Fx/..." benchmarks measure
// the effects chain alone (see bench_effects.cpp).
//
// Usage: kolva-bench [--plugin=PATH] [benchmark options]

#include "bench_effects.h"
#include "host/block_renderer.h"
#include "host/vst_host.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace kolva::host;

constexpr double kSampleRate = 44100.0;
constexpr int kBlockSize = 512;

std::string pluginPath;

enum class Scenario { Idle, Held16, NoteStorm16, FullMatrix16, Oscillator, Classic4x9, Filter, Lfo4x16 };

struct Setup {
    Scenario scenario;
    int type = 0; // Oscillator, Filter: the type under test
    double sampleRate = kSampleRate;
};

constexpr const char* kOscTypeNames[7] = {"Classic", "Noise", "FM", "AMSync", "SawPwm", "HardFM", "Vowel"};
constexpr const char* kFilterTypeNames[7] = {"off", "Perfecto", "Acido", "Infecto", "Scorpio", "Combo", "Shaper"};

constexpr float code(int c) { return static_cast<float>(c) / 999.0f; }

// Every modulation slot busy: two per-voice sources each, four per-sample destinations
// (oscillator levels, pans and filter inputs, both cutoffs, the macros).
void routeFullMatrix(PluginHost& plugin) {
    const int sources[8] = {5 /*Env1*/, 6 /*Env2*/, 9 /*LFO1*/, 13 /*Velocity*/,
                            14 /*KeyFollow*/, 15 /*Random*/, 17 /*ModWheel*/, 26 /*Mod1*/};
    const int targets[16] = {1, 2, 3, 4, 13, 23, 33, 43, 14, 24, 34, 44, 45, 47, 217, 218};
    for (int s = 0; s < 15; ++s) {
        const int base = 288 + 10 * s;
        plugin.setParameter(base, code(sources[s % 8]));
        plugin.setParameter(base + 1, code(sources[(s + 3) % 8]));
        for (int k = 0; k < 4; ++k) {
            plugin.setParameter(base + 2 + 2 * k, 0.75f);
            plugin.setParameter(base + 3 + 2 * k, code(targets[(s * 4 + k) % 16]));
        }
    }
}

// Oscillator n (0..3) of type `type` with nine unison copies, audible in the mix.
void setOscillator(PluginHost& plugin, int n, int type) {
    const int base = 25 + 19 * n;
    plugin.setParameter(base, code(type));          // type
    plugin.setParameter(base + 11, code(8));         // 9_Voices
    plugin.setParameter(base + 13, 0.7f);            // density
    plugin.setParameter(base + 10, 1.0f);            // width
    plugin.setParameter(base + 4, 0.4f);             // CtrlA
    plugin.setParameter(base + 8, 0.3f);             // WTMix
    plugin.setParameter(21 + n, 0.5f);               // mix level
}

// LFO n (0..3) sends to `target` (a destination code) at three quarters up.
void routeLfo(PluginHost& plugin, int n, int target, int form, float rate) {
    const int base = 177 + 16 * n;
    plugin.setParameter(base, rate);
    plugin.setParameter(base + 7, code(form));
    plugin.setParameter(base + 10, code(target));
    plugin.setParameter(base + 11, 0.75f);
}

// Filter 1 of type `type` (mode 0, some resonance), its cutoff swept per sample by LFO1.
void setFilter(PluginHost& plugin, int type) {
    plugin.setParameter(101, code(type));
    plugin.setParameter(103, 0.5f);
    plugin.setParameter(104, 0.6f);
    plugin.setParameter(36, code(8)); // osc1: nine copies, full width, for a stereo signal
    plugin.setParameter(35, 1.0f);
    routeLfo(plugin, 0, 45 /*Cutoff_1*/, 0 /*Sin*/, 0.8f);
}

int copiesFor(Scenario scenario) {
    switch (scenario) {
    case Scenario::Oscillator: return 16 * 9;
    case Scenario::Classic4x9: return 16 * 4 * 9;
    default: return 0;
    }
}

std::vector<MidiMessage> notesFor(Scenario scenario) {
    std::vector<MidiMessage> notes;
    if (scenario == Scenario::Idle) return notes;
    if (scenario != Scenario::NoteStorm16) {
        // Sixteen held notes, spread over four octaves from C2.
        for (int i = 0; i < 16; ++i)
            notes.push_back({0.0, 0x90, static_cast<std::uint8_t>(36 + i * 3), 100});
        return notes;
    }
    // Sixteen note-ons in one block, their note-offs in the next, for ten minutes of audio.
    const double block = kBlockSize / kSampleRate;
    for (int b = 0; b < 60 * 10 * static_cast<int>(kSampleRate / kBlockSize); ++b) {
        const double t = b * block;
        for (int i = 0; i < 16; ++i) {
            const auto note = static_cast<std::uint8_t>(36 + (b * 7 + i * 3) % 60);
            notes.push_back({t + i * block / 16, 0x90, note, static_cast<std::uint8_t>(20 + i * 6)});
            notes.push_back({t + block + i * block / 16, 0x80, note, 0});
        }
    }
    sortByTime(notes);
    return notes;
}

void renderBench(benchmark::State& state, Setup setup) {
    const Scenario scenario = setup.scenario;
    std::string error;
    auto plugin = PluginHost::load(pluginPath, HostIdentity{}, error);
    if (!plugin) {
        state.SkipWithError(error.c_str());
        return;
    }
    plugin->open();
    plugin->setSampleRate(setup.sampleRate);
    plugin->setBlockSize(kBlockSize);
    plugin->setActive(true);

    if (scenario == Scenario::FullMatrix16) routeFullMatrix(*plugin);
    if (scenario == Scenario::Oscillator) setOscillator(*plugin, 0, setup.type);
    if (scenario == Scenario::Filter) setFilter(*plugin, setup.type);
    if (scenario == Scenario::Lfo4x16) {
        const int targets[4] = {45 /*Cutoff_1*/, 46 /*Reso_1*/, 6 /*Osc1_CtrlA*/, 1 /*Osc1_Amp*/};
        const int forms[4] = {0 /*Sin*/, 3 /*S&H*/, 4 /*S&G*/, 20 /*a wave*/};
        for (int n = 0; n < 4; ++n) routeLfo(*plugin, n, targets[n], forms[n], 0.6f + 0.05f * n);
    }
    if (scenario == Scenario::Classic4x9)
        for (int n = 0; n < 4; ++n) setOscillator(*plugin, n, 0);
    const std::vector<MidiMessage> notes = notesFor(scenario);
    TempoMap tempo(120.0);
    BlockRenderer renderer(*plugin, tempo, notes);
    // The notes go out with the first block; let their attacks pass before measuring.
    for (int i = 0; i < 32; ++i)
        renderer.renderBlock(kBlockSize);

    const double cpuBefore = renderer.cpuSeconds();
    std::int64_t frames = 0;
    for (auto _ : state) {
        renderer.renderBlock(kBlockSize);
        benchmark::DoNotOptimize(renderer.left()[0]);
        frames += kBlockSize;
    }
    double cpu = renderer.cpuSeconds() - cpuBefore;
    double audio = static_cast<double>(frames) / setup.sampleRate;
    state.counters["realtime_factor"] = cpu > 0.0 ? audio / cpu : 0.0;
    if (const int copies = copiesFor(scenario); copies > 0 && frames > 0)
        state.counters["ns_per_copy_sample"] = cpu * 1e9 / (static_cast<double>(frames) * copies);
    state.SetItemsProcessed(frames);
    plugin->setActive(false);
}

} // namespace

int main(int argc, char** argv) {
#ifdef KOLVA_DEFAULT_PLUGIN
    pluginPath = KOLVA_DEFAULT_PLUGIN;
#endif
    // Take --plugin=PATH out before the benchmark library sees the arguments.
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strncmp(argv[i], "--plugin=", 9) == 0)
            pluginPath = argv[i] + 9;
        else
            rest.push_back(argv[i]);
    }
    if (pluginPath.empty()) {
        std::fputs("kolva-bench: no plug-in; pass --plugin=PATH\n", stderr);
        return 2;
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 2;
    auto add = [](const std::string& name, Setup setup) {
        benchmark::RegisterBenchmark(name.c_str(), renderBench, setup)->Unit(benchmark::kMicrosecond);
    };
    add("Idle", {Scenario::Idle});
    add("Held16", {Scenario::Held16});
    add("NoteStorm16", {Scenario::NoteStorm16});
    add("FullMatrix16", {Scenario::FullMatrix16});
    for (int t = 0; t < 7; ++t) add(std::string("Osc/") + kOscTypeNames[t], {Scenario::Oscillator, t});
    add("Classic4x9@48k", {Scenario::Classic4x9, 0, 48000.0});
    for (int t = 1; t < 7; ++t) add(std::string("Filter/") + kFilterTypeNames[t], {Scenario::Filter, t});
    add("Lfo4x16", {Scenario::Lfo4x16});
    registerEffectBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
