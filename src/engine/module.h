#pragma once
// Base classes of the engine graph.
//
// Module: one processing stage with numbered parameter slots. The engine delivers parameter
// values to slots (setParameter), asks modules to carve their buffers at prepare time
// (setBlockSize, the only place a module allocates audio memory) and runs them once per block.
// ModulePoly: a module that keeps 17 voices (0..15 polyphonic, 16 monophonic).
//
// Threads: setup/init/bindParameter/setSampleRate/setBlockSize run on the host's main thread
// while no block renders. setParameter may come from the host's automation thread or the
// audio thread. Everything else runs on the audio thread and must not allocate, lock or wait.

#include "engine/engine_context.h"

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <string_view>

namespace kolva {

class SharedVoiceContext;
class ModuleMatrix;

class Module {
public:
    static constexpr int kMaxSlots = 128;

    Module() { slotToParam_.fill(-1); }
    virtual ~Module() = default;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Module-specific construction (a poly module creates its voices); once, after init.
    virtual void setup() {}
    // Records that module slot `slot` is driven by global parameter `index`.
    virtual void bindParameter(int slot, int index);
    // An engine value for one slot. The base keeps the last value of every slot.
    virtual void setParameter(int slot, float value);
    virtual void init(EngineContext* engine, SharedVoiceContext* voices, ModuleMatrix* matrix,
                      std::string_view name);
    virtual void setSampleRate(float rate) { sampleRate_ = rate; }
    // Clears the module's running state (filters, delay lines, envelopes, sequencer position).
    virtual void reset() {}
    // Re-carves the module's buffers from the arena for `frames` (prepare time only).
    virtual void setBlockSize(int /*frames*/) {}
    // Effects: process the stereo block in place.
    virtual void process(int /*frames*/, float* /*left*/, float* /*right*/) {}
    virtual void resetVoicesIfDirty() {}
    // Per-voice output buffers (17 pointers) of modulation output `index`, or nullptr.
    virtual float* const* getModOutput(int /*index*/) { return nullptr; }
    // Per-voice audio output buffers (17 pointers) of output `index`, or nullptr.
    virtual float* const* getAudioOutput(int /*index*/) { return nullptr; }
    // Voice modules: render the block for all voices.
    virtual void renderBlock(int /*frames*/) {}

    const std::string& name() const { return name_; }
    float sampleRate() const { return sampleRate_; }
    int parameterForSlot(int slot) const;
    float slotValue(int slot) const;

protected:
    EngineContext* engine_ = nullptr;
    SharedVoiceContext* voiceContext_ = nullptr;
    ModuleMatrix* matrix_ = nullptr;
    std::string name_;
    float sampleRate_ = 44100.0f;
    bool dirty_ = false;
    std::array<int, kMaxSlots> slotToParam_{};
    std::array<std::atomic<float>, kMaxSlots> slotValues_{};
};

// One voice of a poly module.
class Voice {
public:
    virtual ~Voice() = default;
    virtual void reset() {}

    void attach(int index, const int* slotToParam, SharedVoiceContext* voices,
                ModuleMatrix* matrix, std::string label);
    int index() const { return index_; }
    const std::string& label() const { return label_; }

protected:
    int index_ = 0;
    const int* slotToParam_ = nullptr;
    SharedVoiceContext* voiceContext_ = nullptr;
    ModuleMatrix* matrix_ = nullptr;
    std::string label_;
};

class ModulePoly : public Module {
public:
    // Creates the 17 voices (see makeVoice).
    void setup() override;
    void resetVoicesIfDirty() override;
    virtual Voice* getVoice(int i) { return (i >= 0 && i < kNumVoices) ? voices_[i].get() : nullptr; }
    void markDirty() { dirty_ = true; }

protected:
    // Voice factory for setup(); a module with its own voice class overrides it.
    virtual std::unique_ptr<Voice> makeVoice() { return std::make_unique<Voice>(); }
    // Label given to each voice, e.g. "voice mixer".
    virtual std::string voiceLabel() const { return "voice " + name_; }

    std::array<std::unique_ptr<Voice>, kNumVoices> voices_;
};

} // namespace kolva
