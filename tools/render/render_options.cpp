#include "render/render_options.h"

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

Loads a VST 2.4 plug-in, plays a Standard MIDI File and/or a note list through it and
writes the result as a stereo 32-bit float WAV file.

Options:
  -o, --output FILE       WAV file to write (required unless --info is given)
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
  --host-product TEXT     product string the host reports (default kolva-render)
  --host-vendor TEXT      vendor string the host reports (default Kolva)
  --info                  print the plug-in's properties
  --quiet                 no progress bar and no summary
  -h, --help              this text

Exit codes: 0 ok, 2 usage error, 3 plug-in load failure, 4 input file error,
5 output error.
)";
}

bool parseRenderOptions(std::span<const std::string> args, RenderOptions& options,
                        std::string& error) {
    std::vector<std::string> positional;
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
    if (options.outputPath.empty() && !options.info) {
        error = "no output file given (-o OUT.wav)";
        return false;
    }
    return true;
}

} // namespace kolva::render
