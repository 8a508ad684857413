// kolva-render: a command-line VST 2.4 host. Loads a plug-in, plays a MIDI file and/or a
// note list through it block by block and writes a stereo float WAV file. It can also set
// Kolva's sound from a preset file or the plug-in's state from a state file beforehand, and
// save them afterwards.

#include "host/block_renderer.h"
#include "host/midi_file.h"
#include "host/note_list.h"
#include "host/vst_host.h"
#include "render/level_meter.h"
#include "render/param_assign.h"
#include "render/plugin_info.h"
#include "render/preset_io.h"
#include "render/render_options.h"
#include "render/wav_writer.h"
#include "util/number_text.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace kolva;

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 2,
    kExitPlugin = 3,
    kExitInput = 4,
    kExitOutput = 5,
};

// Longest render accepted, so a stray MIDI time cannot fill the disk.
constexpr double kMaxRenderSeconds = 6.0 * 3600.0;

int fail(int code, const std::string& message) {
    std::string line = "kolva-render: " + message + (code == kExitUsage ? " (see --help)\n" : "\n");
    std::fputs(line.c_str(), stderr);
    return code;
}

void print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}
    void update(std::int64_t done, std::int64_t total) {
        if (!enabled_ || total <= 0) return;
        int percent = static_cast<int>(done * 100 / total);
        if (percent == shown_) return;
        shown_ = percent;
        constexpr int kWidth = 40;
        int filled = percent * kWidth / 100;
        std::string bar = "\r[" + std::string(filled, '#') + std::string(kWidth - filled, ' ') +
                          "] " + formatInt(percent) + "%";
        std::fputs(bar.c_str(), stderr);
        std::fflush(stderr);
    }
    void finish() {
        if (enabled_ && shown_ >= 0) std::fputs("\n", stderr);
    }

private:
    bool enabled_;
    int shown_ = -1;
};

std::string levelText(const render::LevelMeter& m) {
    return "peak " + render::decibelText(m.peak()) + " dBFS (" + formatFixed(m.peak(), 6) +
           "), rms " + render::decibelText(m.rms()) + " dBFS (" + formatFixed(m.rms(), 6) + ")";
}

struct RenderResult {
    std::int64_t frames = 0;
    double cpuSeconds = 0.0;
    render::LevelMeter left, right;
};

// Plays the events into the WAV file; the plug-in stays on for the caller to switch off.
int renderToFile(host::PluginHost& plugin, const render::RenderOptions& options,
                 const host::TempoMap& tempo, const std::vector<host::MidiMessage>& messages,
                 std::int64_t totalFrames, render::WavWriter& wav, RenderResult& result) {
    std::string error;
    if (plugin.effect().numOutputs == 0 && !options.quiet)
        std::fputs("kolva-render: warning: the plug-in has no outputs; writing silence\n", stderr);
    if (!wav.open(options.outputPath, static_cast<int>(std::lround(options.sampleRate)),
                  options.blockSize, error))
        return fail(kExitOutput, error);

    host::BlockRenderer renderer(plugin, tempo, messages);
    ProgressBar progress(!options.quiet && ::isatty(STDERR_FILENO) == 1);
    while (renderer.position() < totalFrames) {
        int frames = static_cast<int>(
            std::min<std::int64_t>(options.blockSize, totalFrames - renderer.position()));
        renderer.renderBlock(frames);
        result.left.add(renderer.left(), frames);
        result.right.add(renderer.right(), frames);
        if (!wav.write(renderer.left(), renderer.right(), frames, error)) {
            progress.finish();
            return fail(kExitOutput, error);
        }
        progress.update(renderer.position(), totalFrames);
    }
    progress.finish();
    result.frames = totalFrames;
    result.cpuSeconds = renderer.cpuSeconds();
    return kExitOk;
}

std::string renderSummary(const render::RenderOptions& options, const RenderResult& r) {
    double audioSeconds = static_cast<double>(r.frames) / options.sampleRate;
    std::string s;
    s += "output: " + options.outputPath + "\n";
    s += "duration: " + formatFixed(audioSeconds, 3) + " s (" + formatInt(r.frames) + " frames)\n";
    s += "sample rate: " + formatFixed(options.sampleRate, 0) + " Hz\n";
    s += "block size: " + formatInt(options.blockSize) + "\n";
    s += "left: " + levelText(r.left) + "\n";
    s += "right: " + levelText(r.right) + "\n";
    s += "non-finite samples: " + formatInt(r.left.nonFinite() + r.right.nonFinite()) + "\n";
    s += "cpu seconds: " + formatFixed(r.cpuSeconds, 4) + "\n";
    s += "realtime factor: " +
         (r.cpuSeconds > 0.0 ? formatFixed(audioSeconds / r.cpuSeconds, 1) : std::string("inf")) +
         "\n";
    return s;
}

int run(const render::RenderOptions& options) {
    // Inputs first: a bad file should not cost a plug-in load, and nothing is rendered or
    // written before every input has been read.
    host::MidiSong song;
    std::string error;
    if (!options.midiPath.empty() && !host::readMidiFile(options.midiPath, song, error))
        return fail(kExitInput, error);
    std::optional<Preset> preset;
    if (!options.presetPath.empty()) {
        preset = render::loadPresetFile(options.presetPath, options.program, error);
        if (!preset) return fail(kExitInput, error);
    }
    std::optional<std::vector<unsigned char>> state;
    if (!options.stateInPath.empty()) {
        state = render::readStateFile(options.stateInPath, error);
        if (!state) return fail(kExitInput, error);
    }
    std::vector<host::MidiMessage> messages = song.events;
    std::vector<host::MidiMessage> notes = host::noteListMessages(options.notes);
    messages.insert(messages.end(), notes.begin(), notes.end());
    host::sortByTime(messages);
    host::TempoMap tempo = options.midiPath.empty() ? host::TempoMap(options.tempo) : song.tempo;

    double endSeconds = song.lengthSeconds;
    if (!messages.empty()) endSeconds = std::max(endSeconds, messages.back().seconds);
    double totalSeconds = endSeconds + options.tailSeconds;
    if (totalSeconds > kMaxRenderSeconds)
        return fail(kExitInput, "render would last " + formatFixed(totalSeconds, 1) +
                                    " s, more than the limit of " +
                                    formatFixed(kMaxRenderSeconds, 0) + " s");
    // The small allowance keeps 9.8 s at 48 kHz from rounding up to one extra frame.
    const auto totalFrames =
        static_cast<std::int64_t>(std::ceil(totalSeconds * options.sampleRate - 1e-6));

    host::HostIdentity identity;
    identity.product = options.hostProduct;
    identity.vendor = options.hostVendor;
    std::unique_ptr<host::PluginHost> plugin =
        host::PluginHost::load(options.pluginPath, identity, error);
    if (!plugin) return fail(kExitPlugin, error);

    plugin->open();
    plugin->setSampleRate(options.sampleRate);
    plugin->setBlockSize(options.blockSize);
    if (options.info) print(render::pluginInfoText(*plugin));
    const bool renders = render::rendersAudio(options);
    const bool savesPreset = !options.savePresetPath.empty();
    const bool savesState = !options.stateOutPath.empty();
    if (!renders && !savesPreset && !savesState) return kExitOk;
    if ((preset || savesPreset) && !render::checkPresetPlugin(*plugin, error))
        return fail(kExitPlugin, error);
    if ((state || savesState) && !render::checkStatePlugin(*plugin, error))
        return fail(kExitPlugin, error);

    // As a host restores a project: the saved state, then the sound, then single changes.
    if (state) {
        render::restoreState(*plugin, *state);
        if (!options.quiet)
            print("state: " + options.stateInPath + " (" +
                  formatInt(static_cast<long long>(state->size())) + " bytes)\n");
    }
    plugin->setActive(true);
    if (preset) {
        render::sendPreset(*plugin, *preset);
        if (!options.quiet)
            print("preset: " + options.presetPath +
                  (render::presetFileType(options.presetPath) == render::PresetFileType::Kbf
                       ? " program " + formatInt(options.program)
                       : std::string()) +
                  " \"" + preset->name() + "\"\n");
    }
    render::ParameterResolver resolver(*plugin);
    for (const std::string& setting : options.parameters) {
        render::ParameterAssignment assignment;
        if (!resolver.resolve(setting, assignment, error)) return fail(kExitUsage, error);
        plugin->setParameter(assignment.index, assignment.value);
        if (!options.quiet)
            print("param " + formatInt(assignment.index) + " (" + assignment.name +
                  ") = " + formatFixed(assignment.value, 6) + "\n");
    }

    render::WavWriter wav;
    RenderResult result;
    if (renders) {
        if (int code = renderToFile(*plugin, options, tempo, messages, totalFrames, wav, result);
            code != kExitOk)
            return code;
    }
    plugin->setActive(false);
    if (renders && !wav.close(error)) return fail(kExitOutput, error);

    // The state is fetched first: a plug-in that hands back none leaves no preset file either.
    std::optional<std::vector<unsigned char>> stateOut;
    if (savesState) {
        stateOut = render::fetchState(*plugin, error);
        if (!stateOut) return fail(kExitPlugin, error);
    }
    if (savesPreset && !render::savePluginPreset(*plugin, options.savePresetPath,
                                                 preset ? &*preset : nullptr, error))
        return fail(kExitOutput, error);
    if (stateOut && !render::writeStateFile(options.stateOutPath, *stateOut, error))
        return fail(kExitOutput, error);
    plugin.reset(); // close and unload before reporting

    if (!options.quiet) {
        std::string s = renders ? renderSummary(options, result) : std::string();
        if (savesPreset) s += "preset saved: " + options.savePresetPath + "\n";
        if (stateOut)
            s += "state saved: " + options.stateOutPath + " (" +
                 formatInt(static_cast<long long>(stateOut->size())) + " bytes)\n";
        print(s);
    }
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    kolva::render::RenderOptions options;
    std::string error;
    if (!kolva::render::parseRenderOptions(args, options, error)) return fail(kExitUsage, error);
    if (options.help) {
        print(kolva::render::usageText());
        return kExitOk;
    }
    return run(options);
}
