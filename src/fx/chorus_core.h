#pragma once
// The chorus's signal path: band-limits the input, then reads up to four modulated voices per
// channel from circular delay lines with feedback (modes 0-5), or runs the four-tap stereo
// ensemble with a one-pole low-pass (mode 6 and above). The module owns the lines and scratch
// buffers and hands them in.
//
// Threads: audio thread only; nothing allocates.

#include "fx/delay_line.h"
#include "fx/fx_dsp.h"

namespace kolva::fx {

class ChorusCore {
public:
    static constexpr int kVoices = 4;
    static constexpr int kLines = 2 * kVoices; // left voice v is line v, right voice v is 4 + v
    static constexpr int kEnsembleMode = 6;
    static constexpr float kLineSeconds = 0.1f;

    // Per-sample control values of one block; `delay` is already through the delay curve.
    struct Controls {
        const float* delay;
        const float* feedback;
        const float* rate;
        const float* depth;
        const float* wide;
        const float* hicut;
        const float* lowcut;
    };

    // Working buffers of at least `frames` floats: the band-limited input, the wet output and
    // the ensemble's four tap delays.
    struct Buffers {
        float* inLeft;
        float* inRight;
        float* wetLeft;
        float* wetRight;
        float* tapDelay[4];
    };

    // The delay control (0..1) through the delay curve, before it is smoothed.
    static float mapDelay(float control);

    // `lines` holds kLines carved lines.
    void process(int frames, float sampleRate, const float* left, const float* right, int mode,
                 const Controls& controls, DelayLineRegistry& lines, const Buffers& buffers);
    // Zeroes the filters and the ensemble low-pass; the LFO phases stay.
    void clear();

    float phase() const { return phase_; }

private:
    void runVoices(int frames, float sampleRate, int mode, const Controls& c,
                   DelayLineRegistry& lines, const Buffers& b);
    void runMultiRate(int frames, float sampleRate, int mode, const Controls& c,
                      DelayLineRegistry& lines, const Buffers& b);
    void runEnsemble(int frames, float sampleRate, const Controls& c, DelayLineRegistry& lines,
                     const Buffers& b);
    // The ensemble's tap delays in samples, per sample (they do not depend on the audio).
    void ensembleDelays(int frames, float sampleRate, const Controls& c, float* const* delays);

    SvfFilter lowPass_{1.2f, SvfFilter::kLow};
    SvfFilter highPass_{2.0f, SvfFilter::kHigh};
    float phase_ = 0.0f;
    float voicePhase_[kVoices] = {0, 0, 0, 0};
    float smooth_[2] = {0, 0};
};

} // namespace kolva::fx
