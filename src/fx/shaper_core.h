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
    // Scratch buffers used: 0..kScratchUsed-1, each blockSize * kOversample floats.
    static constexpr int kScratchUsed = 8;

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
    // must hold kScratchUsed buffers of at least frames * kOversample floats.
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

    // Filters, shaping and the split-band mix for types with a shaping step, at either rate.
    void shapePath(const Block& b, const float* inL, const float* inR, int frames,
                   const ScratchBuffers& scratch, float sampleRate, bool oversampled);
    // The low-pass, then the high-pass of the path (each path keeps its own high-pass state).
    void filterBand(const Block& b, float* left, float* right, int frames, float sampleRate,
                    bool oversampled);
    // Types 9 and 10: the crusher, with or without the filters around it.
    void crushPath(const Block& b, const float* inL, const float* inR, int frames,
                   const ScratchBuffers& scratch, float sampleRate, bool oversampled);
    // Shapes one channel of n samples by `type` with drive curve c and d = 1 / (1 + drive). A table
    // type turns the channel to exact zeros when its input block was silent.
    void shape(int type, float* x, const float* c, const float* d, int n, bool silent) const;
    // Fills the crusher's per-sample levels and hold (block rate, then stretched).
    void crusherControls(const Block& b, int frames, const ScratchBuffers& scratch,
                         float sampleRate, int ratio) const;
    void crush(float* left, float* right, const float* levels, const float* hold, int n);

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
