#pragma once
// The phaser's signal path: an LFO sweeps either a chain of first-order all-pass stages with
// feedback (modes 0-5, two to twelve stages) or four resonant all-pass bands tuned to vowel
// formants (modes 6 and up). The module feeds it the block's control buffers and mixes the
// wet signal it writes.
//
// Threads: audio thread only; nothing allocates.

namespace kolva::fx {

class PhaserCore {
public:
    static constexpr int kMaxStages = 12;
    static constexpr int kBands = 4;
    static constexpr int kFirstVowelMode = 6;

    // Per-sample control values (0..1) of one block.
    struct Controls {
        const float* centre;
        const float* feedback;
        const float* stereo;
        const float* rate;
        const float* depth;
    };

    // Writes the wet signal of `frames` input samples into wetLeft/wetRight.
    void process(int frames, float sampleRate, const float* left, const float* right, int mode,
                 const Controls& controls, float* wetLeft, float* wetRight);
    // Zeroes every all-pass and feedback state; the LFO keeps its phase.
    void clear();

    float phase() const { return phase_; }

private:
    void runClassic(int frames, float sampleRate, const float* left, const float* right,
                    int stages, const Controls& c, float* wetLeft, float* wetRight);
    // The classic modes' all-pass coefficient per channel and sample.
    void sweepCoefficients(int frames, float sampleRate, const Controls& c, float* coefLeft,
                           float* coefRight);
    template <int Stages>
    void runStages(int frames, float sampleRate, const float* left, const float* right,
                   const Controls& c, float* wetLeft, float* wetRight);
    void runVowel(int frames, float sampleRate, const float* left, const float* right, int mode,
                  const Controls& c, float* wetLeft, float* wetRight);

public:
    struct VowelBand {
        float state[2] = {0, 0};       // last band output per channel (the feedback)
        float allpass[2][2] = {{0, 0}, {0, 0}}; // [channel][first/second state]
    };

private:

    float phase_ = 0.0f;
    float feedback_[2] = {0, 0};
    float allpass_[2][kMaxStages] = {};
    VowelBand bands_[kBands];
};

} // namespace kolva::fx
