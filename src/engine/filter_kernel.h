#pragma once
// The interface between a voice's filter and its six types. Each filter of each voice owns one
// kernel per type, all alive at once, so a type change resumes that type's last state. Per
// block the voice filter runs the kernel of the current type through one virtual call with a
// FilterBlock that carries everything the type needs; modes without a name never reach the
// kernel (the voice filter passes the signal through).
//
// Threads: construction at setup (main thread); process/reset on the audio thread, which must
// not allocate, lock or wait. Kernels own their state (including comb lines, sized at
// construction for the largest delay at any supported rate).

#include <array>
#include <cstdint>
#include <memory>

namespace kolva::flt {

// Option order of the type parameters.
enum class FilterType : std::int32_t { Off, Perfecto, Acido, Infecto, Scorpio, Combo, Shaper };
inline constexpr int kFilterTypes = 7;
inline constexpr int kModes = 6; // mode options 0..5

// How many of the six mode options each type names (0..count-1); the others pass through.
inline constexpr std::array<int, kFilterTypes> kNamedModes = {0, 4, 4, 4, 6, 4, 2};

inline bool isNamedMode(int type, int mode) {
    return type > 0 && type < kFilterTypes && mode >= 0 && mode < kNamedModes[type];
}

// One block of one filter of one voice. Buffers hold `frames` values (and 4 spare).
struct FilterBlock {
    int frames = 0;
    float sampleRate = 44100.0f;
    int mode = 0; // a named mode of the type

    const float* inL = nullptr; // input; never the same buffer as the output
    const float* inR = nullptr;
    float* outL = nullptr;
    float* outR = nullptr;

    const float* cutoff = nullptr;    // 0..1 per sample (finite, clamped by the caller)
    const float* resonance = nullptr; // 0..1 per sample
    const float* retrig = nullptr;    // 1.0 at the sample where a note starts, else 0
    bool voiceSilent = false;         // the voice was silent before this block (a fresh note)

    // Coefficient scratch of the voice: four buffers of frames + 4 floats each, free for the
    // kernel to overwrite ("flt calcCut", "flt calcRes", "flt calcCut2", "flt calcRes2").
    std::array<float*, 4> scratch{};
};

class FilterKernel {
public:
    FilterKernel() = default;
    virtual ~FilterKernel() = default;
    FilterKernel(const FilterKernel&) = delete;
    FilterKernel& operator=(const FilterKernel&) = delete;

    // Writes b.frames samples of b.outL and b.outR.
    virtual void process(const FilterBlock& b) = 0;
    // Clears every state (the engine's reset; comb lines included).
    virtual void reset() = 0;
};

// A kernel of the given type (setup time); nullptr for "off".
std::unique_ptr<FilterKernel> makeKernel(FilterType type);

// One kernel of each type.
std::unique_ptr<FilterKernel> makePerfecto();
std::unique_ptr<FilterKernel> makeAcido();
std::unique_ptr<FilterKernel> makeInfecto();
std::unique_ptr<FilterKernel> makeScorpio();
std::unique_ptr<FilterKernel> makeCombo();
std::unique_ptr<FilterKernel> makeShaper();

} // namespace kolva::flt
