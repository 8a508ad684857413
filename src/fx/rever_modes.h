#pragma once
// The reverb's seven modes ("plate 1" .. "aura"), kept as one JSON document in the program and
// parsed once per process into fixed records, so that a mode change on the audio thread is a
// plain copy.
//
// Threads: reverModeBank() is first called when a reverb is constructed (main thread); after
// that every thread only reads it.

#include <array>
#include <string_view>

namespace kolva::fx {

inline constexpr int kReverModes = 7;

// One mode. Delays are in samples at 29761 Hz; arrays keep 0 past the entries the document
// gives, and the counts say how many it gave.
struct ReverMode {
    static constexpr int kTaps = 6;
    static constexpr int kDiffusers = 6;
    static constexpr int kOutputTaps = 7;

    char name[16];
    int timeRatio;      // "trr": 1 or 2
    int flags[4];       // multi-tap, diffusion, and (both set) output taps
    float lfoHz[4];     // the four random LFOs
    float sizeMt[2];    // [offset, slope] over the size curve
    float sizeDiff[2];
    float decayTail[2];
    float taps[kTaps][2]; // [delay, gain]
    int tapCount;
    float diffusers[kDiffusers][2]; // [delay, coefficient]
    int diffuserCount;
    float inside[2];           // scales of the first and second modulated tank delay
    float allPassL[2][2];      // [delay, coefficient]
    float allPassR[2][2];
    float waveL[2][3];         // [delay, depth, second depth]
    float waveR[2][3];
    float outputL[kOutputTaps][3]; // [tank node 0..5, delay, gain]
    float outputR[kOutputTaps][3];
    float notch[2][3];             // [Hz, Q position 0..1, gain dB]
};

struct ReverModeBank {
    std::array<ReverMode, kReverModes> modes{};
    bool valid = false; // false when the document could not be read
};

// Reads a mode document; false (and `bank.valid` false) when it is not a complete one.
bool parseReverModes(std::string_view text, ReverModeBank& bank);

// The program's own document, parsed on first use.
const ReverModeBank& reverModeBank();

} // namespace kolva::fx
