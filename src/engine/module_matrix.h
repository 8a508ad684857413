#pragma once
// The modulation matrix: routes per-voice modulation sources to the continuous parameters of
// every module. 15 user slots (two sources, four destination/amount pairs each) and 8 direct
// slots (the two routings of each envelope and LFO) are compiled by rebuild() into
// per-destination entry lists; modules then ask, once per block and voice, for the modulated
// value of a parameter in one of four forms. A slot may also modulate the amount of another
// slot (destinations Slot1_Amount1.., EnvN_Amt1/2, LFON_Amt1/2).
//
// Threads: setSlotParameter/setDirectParameter from whatever thread sets parameters (single
// value stores); setBlockSize at prepare time; everything else on the audio thread. The
// compiled routing changes only in rebuild(), at a block boundary.

#include "engine/engine_context.h"
#include "engine/module.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace kolva {

class SharedVoiceContext;

class ModuleMatrix : public Module {
public:
    static constexpr int kSourcePositions = 34; // position = source code + 1; 0 and 1 unused
    static constexpr int kSources = 32;         // internal source = code - 1
    static constexpr int kDestinations = 229;   // destination codes 1..229
    static constexpr int kMaxEntries = 31;
    static constexpr int kMaxModulators = 32;
    static constexpr int kUserSlots = 15;
    static constexpr int kSlotParams = 10;
    static constexpr int kDirectRows = 8;   // env1..env4, lfo1..lfo4
    static constexpr int kDirectParams = 6; // target1, amt1, vel1, target2, amt2, vel2
    static constexpr int kFirstDirectRow = 15;
    static constexpr int kSlots = kUserSlots + kDirectRows;

    // Source positions (source code + 1), as the engine publishes them.
    static constexpr int kPosOsc1 = 2, kPosEnv1 = 6, kPosLfo1 = 10, kPosVelocity = 14,
                         kPosKeyFollow = 15, kPosRandomBipolar = 16, kPosPitchWheel = 17,
                         kPosModWheel = 18, kPosAftertouch = 19, kPosFootPedal = 20,
                         kPosBreath = 21, kPosExpression = 22, kPosSustain = 23,
                         kPosStepper1 = 24, kPosStepper2 = 25, kPosArpStep = 26, kPosMacro1 = 27,
                         kPosRandomUnipolar = 31, kPosConstant10 = 32, kPosConstant50 = 33;

    ModuleMatrix();

    // ---- slot parameters (any thread) ----
    // Slot parameter i (0..149) = global parameter - 288: slot i / 10, field i % 10.
    void setSlotParameter(int i, float value);
    // Direct row (15..22) parameter pos (0..5).
    void setDirectParameter(int row, int pos, float value);
    float slotParameter(int i) const;
    float directParameter(int row, int pos) const;

    // ---- routing ----
    // Recompiles the destination records from the slots (audio thread, block boundary).
    void rebuild();
    std::uint32_t rebuildCount() const { return rebuildCount_; }
    // Routing tier of an internal source (0..31): 0 unused, 1 per-voice destinations only,
    // 2 feeds a global destination (its module must also render voice 16).
    int sourceTier(int internalSource) const;
    // Whether any routing reads the source at `position` (source code + 1).
    bool isSourceUsed(int position) const;
    // Whether global parameter `param` has modulation entries this block.
    bool isModulated(int param) const;
    int entryCount(int destinationCode) const;

    // ---- sources (audio thread) ----
    void setSource(int position, float* const* voices);
    float* const* source(int position) const;
    void setVelocitySources(float* const* velocity, float* const* complement);

    // ---- evaluation (audio thread, per block and voice) ----
    // Each returns `base` unchanged (the maximum form: 0) when `param` is above 724, has no
    // destination or no entries, or frames < 2. The buffer forms write into the destination's
    // own output buffer, which stays valid until the next call for the same destination.
    float modulateScalar(int voice, int frames, int param, float base) const;
    float modulateScalarMax(int voice, int frames, int param) const;
    const float* modulateBuffer(int voice, int frames, int param, const float* base);
    const float* modulateAdd(int voice, int frames, int param, const float* base);

    // Destination (internal, 0..228; -1 none) and amount-curve kind of a global parameter.
    static int destinationOf(int param);
    static int curveKindOf(int param);
    // The amount a stored slot amount a (bipolar -1..1) gives with curve kind k.
    static float amountCurve(int kind, float a);

    // Carves the 229 x 2 output buffers and the constant sources for `frames`.
    void setBlockSize(int frames) override;
    float* destinationOutput(int code, int which) const;

private:
    struct Modulator {
        float amount;   // bipolar
        float velocity; // velocity amount -1..1
        std::int32_t sourceA;
        std::int32_t sourceB;
    };
    struct Entry {
        std::int32_t source;
        float amount;   // bipolar
        float velocity; // velocity amount -1..1
        std::int32_t modulatorCount;
        std::array<Modulator, kMaxModulators> modulators;
    };
    struct Destination {
        std::int32_t active;
        std::int32_t count;
        std::array<Entry, kMaxEntries + 1> entries;
    };
    struct Slot {
        std::atomic<std::int32_t> sourceA{-1};
        std::atomic<std::int32_t> sourceB{-1};
        std::array<std::atomic<std::int32_t>, 4> destination{}; // code, 0 = off
        std::array<std::atomic<float>, 4> amount{};             // 0..1 as stored
        std::array<std::atomic<float>, 2> velocity{};           // -1..1
    };

    const float* sourceVoice(int internalSource, int voice) const;
    float entryAmount(const Entry& e, int kind, int voice, int sample) const;
    // Per-sample amounts of entry e into amounts_[0..frames); false when the amount is the same
    // for every sample (then *constant holds it).
    bool entryAmounts(const Entry& e, int kind, int voice, int frames, float* constant) const;
    const float* sumInto(int voice, int frames, int param, const float* base, int which,
                         bool clampResult);
    static float velocityFactor(float w, float p, float q);
    void fillTier(int internalSource, int tier);

    std::array<Slot, kSlots> slots_;
    std::array<std::atomic<float>, kUserSlots * kSlotParams> slotParams_{};
    std::array<std::atomic<float>, kDirectRows * kDirectParams> directParams_{};
    std::array<Destination, kDestinations> destinations_{};
    std::array<std::int32_t, kSources> tiers_{};
    std::array<float* const*, kSourcePositions> sources_{};
    float* const* velocity_ = nullptr;
    float* const* velocityComplement_ = nullptr;
    std::array<std::array<float*, 2>, kDestinations + 1> outputs_{};
    float* amounts_ = nullptr; // per-sample amounts of one entry (buffer forms)
    int blockFrames_ = 0;
    std::array<float*, kNumVoices> constant10_{};
    std::array<float*, kNumVoices> constant50_{};
    std::uint32_t rebuildCount_ = 0;
};

} // namespace kolva
