#pragma once
// Command line of kolva-render.

#include "host/note_list.h"

#include <span>
#include <string>
#include <vector>

namespace kolva::render {

struct RenderOptions {
    std::string pluginPath;
    std::string midiPath;              // empty: no MIDI file
    std::vector<host::NoteSpec> notes; // from --notes
    std::string outputPath;            // empty: nothing is rendered
    double sampleRate = 48000.0;
    int blockSize = 512;
    double tempo = 120.0; // for note lists; MIDI files bring their own
    double tailSeconds = 1.0;
    std::vector<std::string> parameters; // NAME_OR_INDEX=VALUE, applied in order
    std::string presetPath;              // .kpf2, .kpf or .kbf; sent before the parameters
    int program = 0;                     // 0-based program of a .kbf
    std::string savePresetPath;          // .kpf2 written from the plug-in's values at the end
    std::string stateInPath;             // bytes for effSetChunk, before preset and parameters
    std::string stateOutPath;            // effGetChunk's bytes at the end
    std::string hostProduct = "kolva-render";
    std::string hostVendor = "Kolva";
    bool info = false;
    bool quiet = false;
    bool help = false;
};

// True when something is played: an output file (a MIDI file or notes need one).
inline bool rendersAudio(const RenderOptions& options) {
    return !options.outputPath.empty();
}

// Parses the arguments after the program name. On failure returns false and sets `error`.
bool parseRenderOptions(std::span<const std::string> args, RenderOptions& options,
                        std::string& error);

std::string usageText();

} // namespace kolva::render
