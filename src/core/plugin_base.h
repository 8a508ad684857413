#pragma once
// PluginBase: what one plug-in instance owns besides the VST glue: the engine, the parameter
// descriptors and stored values, the MIDI learn table, the two editor/engine queues, the
// block-end status record, the output block buffers, and the host's block-size and
// sample-rate records.
//
// Threads:
// - setParameter: any thread. On the audio thread (or before the first block) the value goes
//   straight to the engine; from any other thread while blocks render it is stored and handed
//   to the audio thread through the editor->engine queue, applied at the next block start.
// - setBlockSize/setSampleRate/enableEngine/idle: the host's main thread; structural engine
//   changes are fenced from rendering by a RenderGate.
// - drainEditorQueue/handleController/publishStatus: audio thread only.
// - saveState/restoreState (the host's chunk), the event bus, the idle workers, the bank and
//   the configuration: the host's main thread (and later the editor's). A restore writes the
//   engine behind the RenderGate, so it never overlaps a block; the audio thread then skips
//   at most one block instead of waiting.

#include "core/block_status.h"
#include "core/config.h"
#include "core/engine_queues.h"
#include "core/midi_learn.h"
#include "core/parameter_table.h"
#include "core/render_gate.h"
#include "core/tuning_holder.h"
#include "editor/event_bus.h"
#include "editor/idle_worker.h"
#include "presets/bank.h"
#include "presets/chunk.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kolva {

class APlugin;

class PluginBase : public IEventProcessor {
public:
    static constexpr int kOutputFrames = 8192;
    static constexpr float kMaxSampleRate = 768000.0f;

    PluginBase();
    ~PluginBase() override;
    PluginBase(const PluginBase&) = delete;
    PluginBase& operator=(const PluginBase&) = delete;

    // Start-up, in this order: defaults, MIDI learn table, bank, configuration, init preset,
    // stored values, chunk links, event subscriptions.
    void init();

    // ---- parameters ----
    void setParameter(int index, float value, bool notifyEditor);
    float getParameter(int index) const;
    // Parameter key and label (always empty), cut to maxLength - 1 characters; empty texts
    // for unknown indices.
    std::string parameterName(int index, int maxLength = 64) const;
    std::string parameterLabel(int index, int maxLength = 16) const;
    // Display text of `value` for parameter `index`, cut to maxLength - 1 characters.
    std::string parameterDisplay(int index, float value, int maxLength);
    // After a program load or restore (never on the audio thread): the stored values are
    // taken from the descriptors and pushed to the engine, the engine is reset (mod wheel at
    // 0.99 of its value before the reset and at its value after, so the engine sees a move)
    // and the routing rebuilt, all behind the RenderGate.
    void applyAllParameters(bool notifyEditor);
    bool isSoundParameterIndex(int index) const;

    // ---- host settings ----
    void setBlockSize(int frames);
    void setSampleRate(float rate);
    bool enableEngine(bool on);
    bool blockTooLarge() const { return blockTooLarge_.load(std::memory_order_acquire); }
    int hostBlockSize() const { return blockSize_.load(std::memory_order_relaxed); }
    float hostSampleRate() const { return sampleRate_.load(std::memory_order_relaxed); }
    bool releaseNotesOnStop() const { return releaseNotesOnStop_; }

    // ---- editor side ----
    EditorToEngineQueue& editorToEngine() { return toEngine_; }
    EngineToEditorQueue& engineToEditor() { return toEditor_; }
    const BlockStatus& blockStatus() const { return status_; }
    bool editorOpen() const { return editorOpen_.load(std::memory_order_acquire); }
    // Enqueue a record for the engine (editor thread): set parameter (value decoded at block
    // start), note, reset, apply-all, editor open/closed.
    bool postToEngine(std::int32_t type, std::uint32_t index, double value);
    void requestEditorRefresh();
    MidiLearnTable& midiLearn() { return learn_; }

    // ---- microtuning (main/editor thread) ----
    // Loads a scale file and hands it to the engine; on failure `error` holds the text for
    // the user and the previous tuning stays.
    bool loadScale(const std::filesystem::path& file, std::string& error);
    // Back to equal temperament (reference note and A4 frequency stay).
    void clearScale();
    void setTuningSettings(int referenceNote, int a4Index);
    // Replaces the whole tuning from the state text; false (tuning unchanged) when malformed.
    bool restoreTuning(std::string_view stateText);
    const TuningHolder& tuning() const { return tuning_; }

    // Main-thread housekeeping: persists the MIDI learn table after a learned change.
    void idle();

    // ---- programs and state (host's main thread) ----
    // The host's chunk: the live sound becomes the current working program, then the chunk
    // serialises it. The bytes stay valid until the next save.
    int saveState(void** data);
    // The restore sequence: chunk, tuning, every value to the engine, display update, and
    // ReloadChunkEvent when an editor object exists. Bad data keeps the previous sound.
    void restoreState(const void* data, int byteSize);
    // Name of the current program, at most 24 characters.
    std::string currentProgramName();
    // Publishes SwitchPresetEvent {3, program, (0, 1), editor open} on the event bus.
    void postProgramSwitch(int program);

    Config& config(); // reloaded first when the file changed
    Bank& bank() { return bank_; }
    Chunk& chunk() { return chunk_; }
    IEventBus& eventBus() { return eventBus_; }
    IdleWorkerQueue& idleWorkers() { return idleWorkers_; }
    // Set while an editor object exists (restores then tell it through ReloadChunkEvent).
    void setEditorObjectExists(bool exists) { editorObject_ = exists; }

    // Event processor: a preset loaded while the editor is closed becomes the sound.
    void process(const IEvent& event) override;
    // Notes played by the host since start (for the editor's activity light).
    unsigned noteActivity() const { return noteActivity_.load(std::memory_order_relaxed); }

    APlugin* engine() const { return engine_.get(); }
    ParameterTable& parameterTable() { return params_; }

protected:
    // ---- audio thread ----
    void markAudioThread();
    // True on the thread that renders, unless the plug-in was also created there (a host that
    // does everything on one thread): that thread keeps its idle work.
    bool onSeparateAudioThread() const;
    // Applies every queued editor record; rebuilds the routing once if a parameter changed.
    void drainEditorQueue();
    // The MIDI-learn controller hook, for every control change.
    void handleController(int controller, int value);
    void publishStatus();
    void emitToEditor(std::int32_t type, std::int32_t index, float value);

    float* outputLeft() { return outputLeft_; }
    float* outputRight() { return outputRight_; }

    void setReleaseNotesOnStop(bool on) { releaseNotesOnStop_ = on; }
    // Audio thread: a MIDI program change (or learned command) for the main thread, which
    // publishes it on the event bus in idle(). Only the latest request is kept.
    void requestProgramChange(int program) { pendingProgram_.store(program); }
    void requestLearnedProgramCommand(int code) { pendingProgram_.store(kLearnedCommandBase + code); }
    // Audio thread, while a structural change holds the RenderGate: notes wait in the
    // editor->engine queue for the next block instead of being lost (a lost note-off would
    // hang a note).
    void deferNote(int note, int velocity);
    // Host notification after a restore (Kolva asks the host to update its display).
    virtual void onStateRestored() {}
    void countNoteActivity() { noteActivity_.fetch_add(1, std::memory_order_relaxed); }

    RenderGate gate_;
    std::atomic<int> pendingRedraw_{0};
    float storedTempo_ = 120.0f;

private:
    static constexpr int kLearnedCommandBase = 1000;
    static constexpr std::size_t kMaxChunkBytes = 64u << 20;

    bool mustDefer() const;
    void publishPendingProgramChange();
    // The current working program's values become the descriptors' and the stored values.
    void takeWorkingProgram();
    void loadInitPreset();
    void applyAllDirect();
    // Hands the tuning to the engine's voices, fenced from rendering.
    void applyTuning();
    float engineValueOf(int index);

    std::unique_ptr<APlugin> engine_;
    ParameterTable params_;
    std::array<std::atomic<float>, kNumParameters> parameters_{};
    MidiLearnTable learn_;
    std::atomic<bool> learnDirty_{false};
    TuningHolder tuning_;
    Bank bank_{params_};
    Config config_;
    Chunk chunk_;
    EventBus eventBus_;
    IdleWorkerQueue idleWorkers_;
    std::mutex stateMutex_; // save and restore as whole sequences
    bool editorObject_ = false;

    std::atomic<bool> blockTooLarge_{false};
    bool releaseNotesOnStop_ = false;
    std::atomic<int> blockSize_{128};
    std::atomic<bool> blockSizeChanged_{false};
    std::atomic<float> sampleRate_{44100.0f};
    std::atomic<bool> sampleRateChanged_{false};

    alignas(64) float outputLeft_[kOutputFrames] = {};
    alignas(64) float outputRight_[kOutputFrames] = {};

    EditorToEngineQueue toEngine_;
    EngineToEditorQueue toEditor_;
    moodycamel::ProducerToken audioToEngine_;
    moodycamel::ProducerToken audioToEditor_;
    BlockStatus status_;
    std::atomic<bool> editorOpen_{false};

    std::atomic<std::thread::id> audioThread_{};
    std::atomic<bool> renderStarted_{false};
    const std::thread::id ownerThread_ = std::this_thread::get_id();
    std::atomic<int> pendingProgram_{-1};
    std::atomic<unsigned> noteActivity_{0};
};

} // namespace kolva
