#include "render/render_options.h"

#include "render/preset_io.h"
#include "util/number_text.h"

#include <charconv>
#include <cmath>

namespace kolva::render {

namespace {

bool parseNumber(const std::string& text, double low, double high, double& out) {
    auto v = parseDouble(text);
    if (!v || !std::isfinite(*v) || *v < low || *v > high) return false;
    out = *v;
    return true;
}

bool parseInteger(const std::string& text, int low, int high, int& out) {
    int v = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || v < low || v > high)
        return false;
    out = v;
    return true;
}

} // namespace

std::string usageText() {
    return R"(Usage: kolva-render PLUGIN.so [MIDI.mid] [--notes LIST] -o OUT.wav [options]
       kolva-render PLUGIN.so --info
       kolva-render KOLVA.so [--preset FILE] [--state-in FILE] [--param ...]
                    --save-preset OUT.kpf2 | --state-out FILE

Loads a VST 2.4 plug-in, plays a Standard MIDI File and/or a note list through it and
writes the result as a stereo 32-bit float WAV file. Without a MIDI file, notes and -o,
nothing is rendered and only the preset and state options act.

Options:
  -o, --output FILE       WAV file to write (required to play; may be left out with
                          --info, --save-preset or --state-out)
  --notes LIST            notes to play, comma separated: NOTE@START+DURATION[:VELOCITY]
                          NOTE is 0-127 or a name (C4 = 60, A4 = 69, F#3, Bb2, C-1);
                          START and DURATION in seconds; VELOCITY 1-127 (default 100).
                          Example: --notes "60@0+1:100, 64@0.5+1.5, C4@2+1"
  --rate HZ               sample rate (default 48000)
  --block FRAMES          block size (default 512)
  --tempo BPM             tempo reported while playing a note list (default 120);
                          a MIDI file's own tempo map takes precedence
  --tail SECONDS          time rendered after the last event (default 1)
  --param NAME_OR_INDEX=VALUE
                          set a parameter before rendering (repeatable). VALUE is a
                          normalised number 0-1 or, for Kolva's enumerated parameters,
                          an option word (e.g. --param mode=poly_2), which wins
                          over a number when the word list holds numbers
  --preset FILE           a Kolva sound whose 725 values are sent before the --param
                          settings: a preset file (.kpf2), a legacy preset (.kpf) or
                          a program of a legacy bank (.kbf, see --program)
  --program N             the program of the .kbf to use, 0-127, counted from 0
                          (default 0)
  --save-preset FILE.kpf2 at the end, write the plug-in's 725 values as a preset file
                          named after FILE (keeps the author, tags etc. of --preset)
  --state-in FILE         hand the file's bytes to the plug-in as its saved state
                          (effSetChunk) before --preset and --param
  --state-out FILE        at the end, write the plug-in's state (effGetChunk) to FILE
  --host-product TEXT     product string the host reports (default kolva-render)
  --host-vendor TEXT      vendor string the host reports (default Kolva)
  --info                  print the plug-in's properties
  --quiet                 no progress bar and no summary
  -h, --help              this text

Exit codes: 0 ok, 2 usage error, 3 plug-in load failure (or a plug-in that cannot
take presets or state), 4 input file error, 5 output error. Nothing is rendered or
written when a preset or state file cannot be read.
)";
}

bool parseRenderOptions(std::span<const std::string> args, RenderOptions& options,
                        std::string& error) {
    std::vector<std::string> positional;
    bool programGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool hasInlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInlineValue = true;
            }
        }
        auto takeValue = [&]() {
            if (hasInlineValue) return true;
            if (i + 1 >= args.size()) {
                error = "option " + arg + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        auto flag = [&](bool& target) {
            if (hasInlineValue) {
                error = "option " + arg + " takes no value";
                return false;
            }
            target = true;
            return true;
        };

        if (arg == "-h" || arg == "--help") {
            if (!flag(options.help)) return false;
        } else if (arg == "--info") {
            if (!flag(options.info)) return false;
        } else if (arg == "--quiet") {
            if (!flag(options.quiet)) return false;
        } else if (arg == "-o" || arg == "--output") {
            if (!takeValue()) return false;
            if (value.empty()) {
                error = "empty output file name";
                return false;
            }
            options.outputPath = value;
        } else if (arg == "--notes") {
            if (!takeValue()) return false;
            std::vector<host::NoteSpec> notes;
            if (!host::parseNoteList(value, notes, error)) return false;
            options.notes.insert(options.notes.end(), notes.begin(), notes.end());
        } else if (arg == "--rate") {
            if (!takeValue()) return false;
            if (!parseNumber(value, 1000.0, 768000.0, options.sampleRate)) {
                error = "--rate must be a sample rate between 1000 and 768000 Hz";
                return false;
            }
        } else if (arg == "--block") {
            if (!takeValue()) return false;
            if (!parseInteger(value, 1, 65536, options.blockSize)) {
                error = "--block must be a whole number of frames between 1 and 65536";
                return false;
            }
        } else if (arg == "--tempo") {
            if (!takeValue()) return false;
            if (!parseNumber(value, 1.0, 1000.0, options.tempo)) {
                error = "--tempo must be between 1 and 1000 bpm";
                return false;
            }
        } else if (arg == "--tail") {
            if (!takeValue()) return false;
            if (!parseNumber(value, 0.0, 3600.0, options.tailSeconds)) {
                error = "--tail must be between 0 and 3600 seconds";
                return false;
            }
        } else if (arg == "--param") {
            if (!takeValue()) return false;
            if (value.find('=') == std::string::npos) {
                error = "--param needs NAME_OR_INDEX=VALUE, got \"" + value + "\"";
                return false;
            }
            options.parameters.push_back(value);
        } else if (arg == "--preset" || arg == "--save-preset" || arg == "--state-in" ||
                   arg == "--state-out") {
            if (!takeValue()) return false;
            if (value.empty()) {
                error = "empty file name for " + arg;
                return false;
            }
            std::string& target = arg == "--preset"        ? options.presetPath
                                  : arg == "--save-preset" ? options.savePresetPath
                                  : arg == "--state-in"    ? options.stateInPath
                                                           : options.stateOutPath;
            target = value;
        } else if (arg == "--program") {
            if (!takeValue()) return false;
            if (!parseInteger(value, 0, 127, options.program)) {
                error = "--program must be a program number between 0 and 127";
                return false;
            }
            programGiven = true;
        } else if (arg == "--host-product") {
            if (!takeValue()) return false;
            options.hostProduct = value;
        } else if (arg == "--host-vendor") {
            if (!takeValue()) return false;
            options.hostVendor = value;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    if (options.help) return true;

    if (positional.empty()) {
        error = "no plug-in given";
        return false;
    }
    if (positional.size() > 2) {
        error = "unexpected argument \"" + positional[2] + "\"";
        return false;
    }
    options.pluginPath = positional[0];
    if (positional.size() == 2) options.midiPath = positional[1];

    if (!options.presetPath.empty() &&
        presetFileType(options.presetPath) == PresetFileType::Unknown) {
        error = "--preset needs a .kpf2, .kpf or .kbf file, got \"" + options.presetPath + "\"";
        return false;
    }
    if (programGiven && presetFileType(options.presetPath) != PresetFileType::Kbf) {
        error = "--program selects a program of a .kbf bank given with --preset";
        return false;
    }
    if (!options.savePresetPath.empty() &&
        presetFileType(options.savePresetPath) != PresetFileType::Kpf2) {
        error = "--save-preset writes a .kpf2 file, got \"" + options.savePresetPath + "\"";
        return false;
    }
    // Playing needs somewhere to put the sound; saving a preset or state alone does not.
    const bool plays = !options.midiPath.empty() || !options.notes.empty();
    const bool saves = !options.savePresetPath.empty() || !options.stateOutPath.empty();
    if (options.outputPath.empty() && (plays || (!options.info && !saves))) {
        error = "no output file given (-o OUT.wav)";
        return false;
    }
    return true;
}

} // namespace kolva::render
