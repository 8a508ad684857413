#pragma once
// APlugin: the sound engine of one plug-in instance. It owns the 27 modules and the
// modulation matrix, routes every parameter to the module slots that use it, keeps the note
// bookkeeping, and renders one stereo block per call.
//
// Threads: construction, setBlockSize/setSampleRate/prepare and destruction on the host's
// main thread while no block renders (the plug-in core serialises them with rendering).
// render, note and controller entries, reset and setParameter on the audio thread
// (setParameter also from the thread that owns the instance before rendering starts).
// Nothing reachable from render allocates, locks or waits.

#include "engine/block_gates.h"
#include "engine/c_random.h"
#include "engine/engine_context.h"
#include "engine/module_id.h"
#include "engine/note_list.h"
#include "engine/routing_table.h"
#include "engine/voice_context.h"

#include <array>
#include <memory>

namespace kolva {

class Module;
class ModuleMatrix;
class ModuleMidi;
class ModuleEnvelope;
class ModuleLfo;
class ModuleOscillator;
class ModuleMixer;
class ModuleFilter;
class ModulePerfomance;
class ModuleExtControl;
class ModuleStepper;
class ModuleArp;
class ModuleFxEqualizer;

class APlugin {
public:
    static constexpr int kHeldCapacity = 256;
    static constexpr int kSustainedCapacity = 256;
    static constexpr int kPendingCapacity = 32;
    static constexpr int kRoutingCountdownStart = 10; // in units of 128 samples
    // Lockable-memory allowance wanted for the engine's large read-only tables.
    static constexpr std::size_t kLockedTableAllowance = 28573696;

    APlugin();
    virtual ~APlugin();
    APlugin(const APlugin&) = delete;
    APlugin& operator=(const APlugin&) = delete;

    // Host settings; prepare() applies them (nothing happens until both are set).
    void setBlockSize(int frames) { context_.blockSize = frames; }
    void setSampleRate(float rate);
    // Re-creates the arena and re-carves every buffer when block size or the integer sample
    // rate changed. False when the arena could not be had (the engine then renders silence).
    bool prepare();
    bool isPrepared() const { return prepared_; }
    static std::size_t arenaBytes(int blockSize, float sampleRate);

    // Renders `frames` (<= the prepared block size) into the two block buffers.
    void render(float* left, float* right, int frames);
    // Host suspend / editor command: clears filters, effect lines, envelopes, sequencers and
    // requests all notes off.
    void reset();
    // The effects chain alone on a stereo block (<= the prepared block size), in place; render
    // calls it when the tail gate lets the chain run.
    void processEffects(int frames, float* left, float* right);

    void noteOn(int offset, int note, int velocity);
    void noteOff(int offset, int note);
    void allNotesOff(int offset);
    // kind: controller number - 1 for control changes, 64 pitch bend, 65 channel pressure.
    void controller(int value, int offset, int kind, float bend = 0.0f);
    void setParameter(int index, float engineValue);

    void rebuildRouting();
    void requestAllNotesOff() { allNotesOffRequest_ = 1; }
    void pulseTransportStopped() { context_.transportStopped = 1; }
    bool queuePendingRelease(int note) { return pending_.push(note); }
    void setTempo(float tempo);
    void setSongPosition(float quarterNotes) { context_.songPosition = quarterNotes; }

    // Inspection (status record, tests, editor through the core).
    EngineContext& context() { return context_; }
    const EngineContext& context() const { return context_; }
    SharedVoiceContext& voiceContext() { return voiceContext_; }
    ModuleMatrix& matrix() { return *matrix_; }
    Module* module(int number) const;
    ModuleMidi& midi() { return *midi_; }
    ModuleExtControl& extControl() { return *ext_; }
    ModuleArp& arp() { return *arp_; }
    ModuleStepper& stepper(int i) { return *stepper_[i]; }
    const RoutingTable& routing() const { return routing_; }
    const NoteList<kHeldCapacity>& heldNotes() const { return held_; }
    const NoteList<kSustainedCapacity>& sustainedNotes() const { return sustained_; }
    bool sustainDown() const { return sustain_ != 0; }
    bool allNotesOffRequested() const { return allNotesOffRequest_ != 0; }
    int allSoundOffCountdown() const { return allSoundOff_; }
    int routingCountdown() const { return routingCountdown_; }
    int pendingMode() const { return pendingMode_; }
    float amplitudeModAmount() const { return ampModAmount_; }
    bool phaserBeforeShaper() const { return phaserBeforeShaper_; }
    bool reverbBeforeCompressor() const { return reverbBeforeCompressor_; }
    int antiClick() const { return voiceContext_.antiClick; }
    const FxTailGate& tailGate() const { return tailGate_; }
    float peakLeft() const { return peakL_.value(); }
    float peakRight() const { return peakR_.value(); }
    const float* halfBuffer() const { return half_.data(); }
    // Times the effects chain ran (a block that the tail gate let through).
    unsigned long effectsRuns() const { return effectsRuns_; }
    // Blocks dropped because they held NaN or infinity (before or after the effects).
    unsigned long nonFiniteBlocks() const { return nonFiniteBlocks_; }

private:
    void buildRouting();
    // Per-note random values, note-on times and the voice start of a played note.
    void startNote(int offset, int note, int velocity);
    void publishAll();
    void publishMidi();
    void publishExtControls();
    void publishModulators();
    void routeToModules(int index, float value);
    void runEffects(int frames, float* left, float* right);
    void sumVoices(float* left, float* right, int frames);

    EngineContext context_;
    SharedVoiceContext voiceContext_;
    RoutingTable routing_;
    std::unique_ptr<ModuleMatrix> matrix_;
    std::array<std::unique_ptr<Module>, kNumModules> modules_;

    ModuleMidi* midi_ = nullptr;
    std::array<ModuleEnvelope*, 4> env_{};
    std::array<ModuleLfo*, 4> lfo_{};
    std::array<ModuleOscillator*, 4> osc_{};
    ModuleMixer* mixer_ = nullptr;
    ModuleFilter* filter_ = nullptr;
    ModulePerfomance* perf_ = nullptr;
    ModuleExtControl* ext_ = nullptr;
    std::array<ModuleStepper*, 2> stepper_{};
    ModuleArp* arp_ = nullptr;
    ModuleFxEqualizer* equalizer_ = nullptr;

    std::array<float, 4096> half_{}; // default input of unconnected destinations

    NoteList<kHeldCapacity> held_;
    NoteList<kSustainedCapacity> sustained_;
    NoteList<kPendingCapacity> pending_;
    CRandom noteRandom_;

    int sustain_ = 0;
    int allNotesOffRequest_ = 0;
    int allSoundOff_ = 0;
    int routingCountdown_ = 0;
    FxTailGate tailGate_;
    bool phaserBeforeShaper_ = false;
    bool reverbBeforeCompressor_ = false;
    float ampModAmount_ = 0.0f;
    int pendingMode_ = kModePoly1;
    PeakHold peakL_, peakR_;
    unsigned long effectsRuns_ = 0;
    unsigned long nonFiniteBlocks_ = 0;

    bool prepared_ = false;
    int preparedBlockSize_ = -1;
    int preparedIntRate_ = -1;
};

} // namespace kolva
