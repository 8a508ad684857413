#pragma once
// The base of the seven effect modules. Each keeps an FxParams block: the binding table (the
// global parameter index of every local slot), the decoded switches and selectors, and one
// smoother per continuous control. Once per block an effect asks for each control's
// per-sample buffer, smoothed and then modulated through the matrix's global voice.
//
// An effect skips its block, leaving the audio untouched, while its mix is exactly 0 with no
// modulation on the mix, or while its bypass switch is on.
//
// Threads: setParameter from whichever thread sets parameters (single value stores);
// setSampleRate/setBlockSize at prepare time; process, clear and recover on the audio thread.

#include "engine/module.h"
#include "fx/delay_line.h"
#include "fx/smoothed_param.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace kolva {

// How a slot's 0..1 value is decoded.
enum class FxDecode : std::uint8_t {
    kSelector,   // int(v * 999.99)
    kSwitch,     // int(v * 1.99): 0 or 1
    kContinuous, // smoothed per sample
};

struct FxParams {
    static constexpr int kMaxSlots = 14;
    std::array<std::int32_t, kMaxSlots> binding{};               // global index, -1 unbound
    std::array<std::atomic<std::int32_t>, kMaxSlots> switches{}; // selectors and switches
    std::array<SmoothedParam, kMaxSlots> smooth{};               // continuous slots
};

class FxModule : public Module {
public:
    void bindParameter(int slot, int index) override;
    // Decodes one local slot; slots outside the effect's range are ignored.
    void setParameter(int slot, float value) override;
    // Carves the smoother buffers, the core's scratch buffers and delay lines. The arena is
    // new at every prepare, so everything is carved again here for the current rate.
    void setBlockSize(int frames) override;
    // Engine reset: the delay lines (effects that have them).
    void reset() override { clear(); }
    virtual void clear() { lines_.clear(); }
    // Called after a block came out of the chain as NaN or infinity: every state of the
    // effect (lines, filters, followers) goes back to rest so the next block starts clean.
    virtual void recover() { lines_.clear(); }

    int slotCount() const { return slotCount_; }
    int switchValue(int slot) const {
        return params_.switches[static_cast<std::size_t>(slot)].load(std::memory_order_relaxed);
    }
    const SmoothedParam& smoother(int slot) const {
        return params_.smooth[static_cast<std::size_t>(slot)];
    }
    const fx::DelayLineRegistry& lines() const { return lines_; }
    const fx::ScratchBuffers& scratch() const { return scratch_; }

protected:
    // `decodes`: one entry per local slot. mixSlot/bypassSlot: -1 when the effect has none.
    FxModule(const FxDecode* decodes, int slots, int mixSlot, int bypassSlot);

    // A value for a continuous slot before it enters the smoother (e.g. through a curve).
    virtual float mapContinuous(int /*slot*/, float value) const { return value; }
    // True when the block must be left alone (mix exactly 0 and unmodulated, or bypass on).
    bool inactive() const;
    // Runs the smoother of `slot` for the block and returns the per-sample values with the
    // matrix's global modulation added (clamped to 0..1).
    const float* modulated(int slot, int frames);
    // Whether the engine reached setBlockSize with enough arena for this effect.
    bool buffersReady() const { return ready_; }
    int blockCapacity() const { return capacity_; }

    FxParams params_;
    fx::DelayLineRegistry lines_;
    fx::ScratchBuffers scratch_;

private:
    const FxDecode* decodes_;
    int slotCount_;
    int mixSlot_;
    int bypassSlot_;
    int capacity_ = 0;
    bool ready_ = false;
};

} // namespace kolva
