#pragma once
// Equalizer and master stage (module 21, "fx_equalizer"). It runs at three points of the
// effects chain: stage 1 after the chorus, stage 2 after the compressor, stage 3 last.
//
// Stage 1: low shelf, peak and high shelf in series, each following its frequency, Q and gain
//          controls per sample (only while the equalizer is switched on).
// Stage 2: two fixed tone pairs, "warm" (sub-sonic cut and a broad low lift) and "soft" (a
//          slight top lift with a gentle roll-off above it).
// Stage 3: master volume into the soft-clip curve, optionally doubled ("boost"). Always runs.
//
// The engine's reset leaves the filters alone; recover() (after a NaN or infinite block) puts
// every filter back to rest.
//
// Threads: setParameter from whichever thread sets parameters; setSampleRate/setBlockSize at
// prepare time; processStage and recover on the audio thread.

#include "fx/fx_dsp.h"
#include "fx/fx_module.h"

#include <array>

namespace kolva {

class ModuleFxEqualizer : public FxModule {
public:
    enum Slot {
        kPower = 0, kWarm, kSoft, kBoost, kLowFreq, kLowQ, kLowGain, kMidFreq, kMidQ, kMidGain,
        kHighFreq, kHighQ, kHighGain, kVolume, kSlotCount
    };

    ModuleFxEqualizer();

    // The engine enters through processStage; the plain effect slot has nothing to do.
    void process(int /*frames*/, float* /*left*/, float* /*right*/) override {}
    // stage 1: parametric equalizer, 2: tone pairs, 3: master output.
    void processStage(int stage, int frames, float* left, float* right);
    void clear() override {}
    void recover() override;

private:
    struct Band {
        fx::Biquad filter;
        int type = 0;
        int freqSlot = 0; // then Q, then gain
        // Control values (0..1) and rate of the last design; -1 forces the next one.
        float freq = -1.0f, q = -1.0f, gain = -1.0f;
        float rate = -1.0f;
    };

    void parametric(int frames, float* left, float* right);
    void tonePairs(int frames, float* left, float* right);
    void master(int frames, float* left, float* right);
    void runBand(Band& band, bool constant, const float* f, const float* q, const float* g,
                 int n, float* left, float* right);

    std::array<Band, 3> bands_;
    fx::Biquad warmHighPass_, warmShelf_, softPeak_, softLowPass_;
    bool powerWasOn_ = false, warmWasOn_ = false, softWasOn_ = false;
};

} // namespace kolva
