#pragma once
// The shaper's DSP: a band-limiting filter pair, fifteen waveshaper types and a bit crusher
// with sample hold, run either at the block rate or 8x oversampled. The module hands it the
// per-sample control buffers of a block; the core writes the wet signal, the module mixes.
//
// Threads: construction off the audio thread (it touches the shared curve tables); process,
// clear on the audio thread. Nothing allocates; working buffers come from ScratchBuffers.

#include "fx/delay_line.h"
#include "fx/fx_dsp.h"

#include <array>

namespace kolva::fx {

class ShaperCore {
public:
    static constexpr int kOversample = 8;
    static constexpr int kTypes = 15;
    static constexpr int kTypeAsymmetric = 6;
    static constexpr int kTypeFilterCrush = 9;
    static constexpr int kTypeCrush = 10;
    static constexpr int kTypeHardClip = 14;
    // Scratch buffers used: 0..kScratchUsed-1, each at least blockSize floats (everything the
    // core keeps per sample is at the block rate; the 8x stream never leaves registers).
    static constexpr int kScratchUsed = 6;

    struct Block {
        int type = 1;
        bool filteredOnly = false; // band mode 1: only the filtered band comes out
        bool oversample = true;
        const float* drive = nullptr; // each a per-sample 0..1 control
        const float* bits = nullptr;
        const float* rate = nullptr;
        const float* hiCut = nullptr;  // low-pass cutoff
        const float* lowCut = nullptr; // high-pass cutoff
    };

    ShaperCore();
    ShaperCore(const ShaperCore&) = delete;
    ShaperCore& operator=(const ShaperCore&) = delete;

    // Reads `frames` samples of inL/inR and writes the wet signal to wetL/wetR. `scratch`
    // must hold kScratchUsed buffers of at least `frames` floats.
    void process(const Block& b, const float* inL, const float* inR, float* wetL, float* wetR,
                 int frames, const ScratchBuffers& scratch, float sampleRate);
    // Every filter, the crusher's hold and the oversampling filters back to rest.
    void clear();

private:
    // One table-shaper type: k = c * scale + offset, x -> curve(x * k + 0.5) * gain / (1 + d).
    struct TableShape {
        const float* curve = nullptr; // nullptr: not a table type
        int size = 0;
        float scale = 0.0f;
        float gainComp = 0.0f;
        bool wrap = false;
        float offset = 0.0f;
    };

    // Per-sample inputs of the shaping and crushing steps, all at the block rate.
    struct Run {
        const float* inL;   // the block as it came in (split mode adds back what the
        const float* inR;   // filters took from it)
        const float* bandL; // band-limited input (or the input, for the crusher types)
        const float* bandR;
        const float* c;      // drive curve value
        const float* d;      // 1 / (1 + drive)
        const float* levels; // crusher grid
        const float* hold;   // crusher hold in samples of the rate it runs at
        float* outL;
        float* outR;
        int frames;
        bool split = false;             // add (1 + 2c) x what the filters took away
        bool keepL = true, keepR = true; // false: a silent channel the table types zero
        // Every hold below two steps (each step is taken) and c, d, levels the same throughout;
        // only their first entries are filled then.
        bool steady = false;
    };

    // The low-pass, then the high-pass of the path (each path keeps its own high-pass state).
    void filterBand(const Block& b, float* left, float* right, int frames, float sampleRate,
                    bool oversampled);
    // Calls run(shape) with the lane operation of `type` ((x, c, d) -> shaped x) and whether it
    // zeroes silent channels; types without a shaping step pass their lanes through.
    template <class Fn> void withShape(int type, Fn&& run) const;
    // The 8x path per block sample: hold the sample for eight steps through the anti-imaging
    // filter, shape, add back, crush and average the eight, all in registers.
    template <class Shape> void oversampled(const Shape& shape, bool zeroesSilence, const Run& r);
    // Its loop, for silent channels zeroed (Masked) or not, and for a steady run or not.
    template <bool Masked, bool Steady, class Shape>
    void oversampledRun(const Shape& shape, const Run& r);
    // The block-rate path, four samples of each channel at a time.
    template <class Shape> void plain(const Shape& shape, bool zeroesSilence, const Run& r);
    // Fills the crusher's per-sample levels and hold at the block rate; true when every hold
    // is below two samples (the crusher then takes every sample). With `driveStill` as well,
    // the run is steady and only the first entries are filled.
    bool crusherControls(const Block& b, int frames, const ScratchBuffers& scratch,
                         float sampleRate, int ratio, bool driveStill) const;

    std::array<TableShape, kTypes> types_{};
    SvfFilter lowPass_{1.2f, SvfFilter::kLow};
    SvfFilter highPass_{2.0f, SvfFilter::kHigh};
    SvfFilter plainHighPass_{2.0f, SvfFilter::kHigh}; // high-pass state of the block-rate path
    Biquad antiImage_;
    Biquad output_;
    int holdCounter_ = 0;
    float held_[2] = {0.0f, 0.0f};
};

} // namespace kolva::fx
