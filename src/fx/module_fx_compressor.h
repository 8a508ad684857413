#pragma once
// Three-band compressor (module 20, "fx_compressor"): processes the summed stereo block in place.
//
// The block is split into a low (< 88.3 Hz), mid and high (> 2500 Hz) band. Each band runs an
// upward stage that lifts material below its threshold, then a downward stage that pulls
// material above its threshold back; the one amount control sets how hard both work and the
// level of the recombined bands. At amount 0 the block is left alone.
//
// Followers and filter states persist across blocks and engine resets; only recover() (after a
// NaN or infinite block) puts them back to rest.
//
// Threads: setParameter from whichever thread sets parameters; setSampleRate/setBlockSize at
// prepare time; process and recover on the audio thread.

#include "fx/fx_dsp.h"
#include "fx/fx_module.h"

#include <array>

namespace kolva {

class ModuleFxCompressor : public FxModule {
public:
    ModuleFxCompressor();

    void process(int frames, float* left, float* right) override;
    // The compressor keeps its state through an engine reset.
    void clear() override {}
    void recover() override;

    // The fixed numbers of one stage; see the band table in the .cpp.
    struct StageConstants {
        double inputGain;
        double outputGain;
        double threshold;
        double ratioScale;
    };

    // One level follower and its coefficients, cached for the rate and times they were made for.
    struct Stage {
        double average = 0.0; // downward stages only
        double envelope = 0.0;
        double smooth = 0.0;
        double instant = 0.0; // 1 us: kept with the others, not read by the stages below
        double attack = 0.0;
        double release = 0.0;
        float rate = -1.0f;
        double attackMs = -1.0;
        double releaseMs = -1.0;

        void prepare(float sampleRate, double attackTimeMs, double releaseTimeMs);
        void clear() { average = envelope = smooth = 0.0; }
    };

private:
    void processChunk(int frames, float* left, float* right);

    static constexpr int kBands = 3;
    // low: 2 low-passes; mid: 2 high-passes then 2 low-passes; high: 2 high-passes.
    std::array<fx::Biquad, 2> lowSplit_;
    std::array<fx::Biquad, 4> midSplit_;
    std::array<fx::Biquad, 2> highSplit_;
    std::array<Stage, kBands> upward_;
    std::array<Stage, kBands> downward_;
};

} // namespace kolva
