#pragma once
// The modulation matrix: the table through which modules publish their per-voice signals
// (sources) and ask for modulated values (destinations). It receives the 15 user slots
// (10 parameters each) and the 8 direct rows of the envelopes and LFOs (6 parameters each)
// and turns them into a routing when rebuilt.
//
// Threads: setSlotParameter/setDirectParameter from any thread that sets parameters;
// rebuild, setSource and the queries on the audio thread; allocateOutputs at prepare time.

#include "engine/engine_context.h"
#include "engine/module.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace kolva {

class SharedVoiceContext;

class ModuleMatrix : public Module {
public:
    static constexpr int kSourcePositions = 34; // source code + 1; 0 unused
    static constexpr int kDestinations = 229;   // destination codes 1..229
    static constexpr int kUserSlots = 15;
    static constexpr int kSlotParams = 10;
    static constexpr int kDirectRows = 8;   // env1..env4, lfo1..lfo4
    static constexpr int kDirectParams = 6; // target1, amt1, vel1, target2, amt2, vel2
    static constexpr int kFirstDirectRow = 15;

    // Source positions (source code + 1).
    static constexpr int kPosOsc1 = 2, kPosEnv1 = 6, kPosLfo1 = 10, kPosVelocity = 14,
                         kPosKeyFollow = 15, kPosRandomBipolar = 16, kPosPitchWheel = 17,
                         kPosModWheel = 18, kPosAftertouch = 19, kPosFootPedal = 20,
                         kPosBreath = 21, kPosExpression = 22, kPosSustain = 23,
                         kPosStepper1 = 24, kPosStepper2 = 25, kPosArpStep = 26, kPosMacro1 = 27,
                         kPosRandomUnipolar = 31, kPosConstant10 = 32, kPosConstant50 = 33;

    ModuleMatrix();

    // Slot parameter i (0..149): slot i / 10, field i % 10.
    void setSlotParameter(int i, float value);
    // Direct row (15..22) parameter pos (0..5).
    void setDirectParameter(int row, int pos, float value);
    float slotParameter(int i) const;
    float directParameter(int row, int pos) const;

    // Recomputes the routing from the slot and direct parameters.
    void rebuild();
    std::uint32_t rebuildCount() const { return rebuildCount_; }

    // Publication of a source's 17 per-voice buffers (nullptr = no signal).
    void setSource(int position, float* const* voices);
    float* const* source(int position) const;
    void setVelocitySources(float* const* velocity, float* const* complement);

    // Whether any routing reads the source at `position`.
    bool isSourceUsed(int position) const;

    // Carves the destination output buffers and the constant sources for `frames`.
    void setBlockSize(int frames) override;
    float* destinationOutput(int code, int which) const;

private:
    std::array<std::atomic<float>, kUserSlots * kSlotParams> slotParams_{};
    std::array<std::atomic<float>, kDirectRows * kDirectParams> directParams_{};
    std::array<float* const*, kSourcePositions> sources_{};
    std::array<bool, kSourcePositions> sourceUsed_{};
    float* const* velocity_ = nullptr;
    float* const* velocityComplement_ = nullptr;
    std::array<std::array<float*, 2>, kDestinations + 1> outputs_{};
    std::array<float*, kNumVoices> constant10_{};
    std::array<float*, kNumVoices> constant50_{};
    std::uint32_t rebuildCount_ = 0;
};

} // namespace kolva
