// kolva-bench: rendering cost of a VST 2.4 plug-in loaded through the host library, at
// 44.1 kHz in blocks of 512 frames. "Idle" renders with no notes, "Held16" with sixteen
// notes held. The realtime_factor counter is audio seconds rendered per CPU second.
//
// Usage: kolva-bench [--plugin=PATH] [benchmark options]

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

void renderBench(benchmark::State& state, int heldNotes) {
    std::string error;
    auto plugin = PluginHost::load(pluginPath, HostIdentity{}, error);
    if (!plugin) {
        state.SkipWithError(error.c_str());
        return;
    }
    plugin->open();
    plugin->setSampleRate(kSampleRate);
    plugin->setBlockSize(kBlockSize);
    plugin->setActive(true);

    std::vector<MidiMessage> notes;
    for (int i = 0; i < heldNotes; ++i) // spread over four octaves from C2
        notes.push_back({0.0, 0x90, static_cast<std::uint8_t>(36 + i * 3), 100});
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
    double audio = static_cast<double>(frames) / kSampleRate;
    state.counters["realtime_factor"] = cpu > 0.0 ? audio / cpu : 0.0;
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
    benchmark::RegisterBenchmark("Idle", renderBench, 0)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Held16", renderBench, 16)->Unit(benchmark::kMicrosecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
