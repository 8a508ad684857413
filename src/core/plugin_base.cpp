#include "core/plugin_base.h"

#include "engine/aplugin.h"
#include "engine/module_arp.h"
#include "engine/module_midi.h"
#include "engine/tuning_map.h"
#include "engine/module_stepper.h"
#include "editor/events.h"
#include "platform/folders.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace kolva {

PluginBase::PluginBase()
    : toEngine_(kQueueCapacity), toEditor_(kQueueCapacity), audioToEngine_(toEngine_),
      audioToEditor_(toEditor_) {
    for (auto& p : parameters_) p.store(0.0f, std::memory_order_relaxed);
}

PluginBase::~PluginBase() {
    eventBus_.unsubscribeAll(this);
    idleWorkers_.clear();
    if (learnDirty_.exchange(false)) learn_.save(); // a learned controller still reaches the file
    RenderGate::Change change(gate_);
    engine_.reset();
}

void PluginBase::init() {
    blockSize_.store(128);
    blockSizeChanged_.store(true);
    sampleRate_.store(44100.0f);
    sampleRateChanged_.store(true);
    params_.resetToDefaults();
    learn_.reset();
    if (auto folder = platform::pluginDataFolder(); !folder.empty()) {
        learn_.setFilePath(folder / "midi_learn.tbl");
        learn_.load();
    }
    bank_.setup();
    config_.load(true);
    loadInitPreset();
    for (int i = 0; i < kNumParameters; ++i)
        parameters_[i].store(params_.descriptor(i).value.load(std::memory_order_relaxed),
                             std::memory_order_relaxed);
    // Links in the designed order; there is no workspace database yet.
    chunk_.setDatabase(nullptr);
    chunk_.setBank(&bank_);
    chunk_.setConfig(&config_);
    chunk_.setTuningHolder(&tuning_);
    chunk_.setDatabase(nullptr);
    chunk_.registerControllerValues(nullptr, 0);
    bank_.setProgramsChangedListener([this](int program) {
        if (program < 0 || program == bank_.currentProgram()) takeWorkingProgram();
    });
    eventBus_.subscribe(eventkind::kOnPresetLoaded, this);
}

void PluginBase::loadInitPreset() {
    const std::string name = config_.defaultPresetName();
    if (name.empty()) {
        // No user init sound: the built-in defaults and program 0's name stand for it.
        config_.setDefaultPreset(bank_.workingProgram(0).name(),
                                 [&] {
                                     std::array<float, kNumParameters> v{};
                                     std::copy_n(bank_.resetValues(), kNumParameters, v.begin());
                                     return v;
                                 }());
        return;
    }
    const std::array<float, kNumParameters> values = config_.defaultPresetParams();
    Preset& current = bank_.workingProgram();
    current.setName(name);
    current.setAllParameters(values.data());
    bank_.storedProgram(bank_.currentProgram()).copyFrom(current, 0);
    for (int i = 0; i < kNumParameters; ++i) params_.convertValue(i, values[i]);
}

void PluginBase::takeWorkingProgram() {
    const Preset& current = bank_.workingProgram();
    for (int i = 0; i < kNumParameters; ++i) {
        const float v = current.parameter(i);
        const float engineValue = params_.convertValue(i, v);
        parameters_[i].store(std::isfinite(v) ? v : engineValue, std::memory_order_relaxed);
    }
}

// ---- parameters ----

bool PluginBase::mustDefer() const {
    return renderStarted_.load(std::memory_order_acquire) &&
           std::this_thread::get_id() != audioThread_.load(std::memory_order_acquire);
}

void PluginBase::setParameter(int index, float value, bool notifyEditor) {
    if (index < 0 || index >= kNumParameters) return;
    const float engineValue = params_.convertValue(index, value);
    // The raw value is kept (hosts read back what they wrote); non-finite input never is.
    parameters_[index].store(std::isfinite(value) ? value : engineValue, std::memory_order_relaxed);
    if (mustDefer()) {
        toEngine_.enqueue({toengine::kHostParameter, static_cast<std::uint32_t>(index), 0.0});
    } else if (engine_) {
        engine_->setParameter(index, engineValue);
    }
    if (notifyEditor && editorOpen()) emitToEditor(toeditor::kParameterChanged, index, engineValue);
}

float PluginBase::getParameter(int index) const {
    if (index < 0 || index >= kNumParameters) return 0.0f;
    return parameters_[index].load(std::memory_order_relaxed);
}

namespace {

std::string cut(std::string text, int maxLength) {
    const auto room = static_cast<std::size_t>(std::max(maxLength - 1, 0));
    if (text.size() > room) text.resize(room);
    return text;
}

} // namespace

std::string PluginBase::parameterName(int index, int maxLength) const {
    if (index < 0 || index >= kNumParameters) return {};
    return cut(params_.descriptor(index).name(), maxLength);
}

std::string PluginBase::parameterLabel(int index, int maxLength) const {
    if (index < 0 || index >= kNumParameters) return {};
    return cut(params_.descriptor(index).label(), maxLength);
}

std::string PluginBase::parameterDisplay(int index, float value, int maxLength) {
    if (index < 0 || index >= kNumParameters) return {};
    return cut(params_.displayText(index, value), maxLength);
}

bool PluginBase::isSoundParameterIndex(int index) const { return isSoundParameter(index); }

float PluginBase::engineValueOf(int index) {
    return params_.convertValue(index, parameters_[index].load(std::memory_order_relaxed));
}

void PluginBase::applyAllDirect() {
    if (!engine_) return;
    for (int i = 0; i < kNumParameters; ++i) engine_->setParameter(i, engineValueOf(i));
    engine_->rebuildRouting();
}

void PluginBase::applyAllParameters(bool notifyEditor) {
    // The stored values follow the descriptors. A stored value that already decodes to its
    // descriptor's value stays as the host or the state wrote it, so a host reads back after a
    // restore exactly what it saved (an option value past the list's end included).
    const auto& defs = parameterDefs();
    for (int i = 0; i < kNumParameters; ++i) {
        const float d = params_.descriptor(i).value.load(std::memory_order_relaxed);
        const float stored = parameters_[i].load(std::memory_order_relaxed);
        if (!std::isfinite(stored) || ParameterTable::decode(defs[static_cast<std::size_t>(i)], stored) != d)
            parameters_[i].store(d, std::memory_order_relaxed);
    }
    if (engine_) {
        RenderGate::Change change(gate_);
        APlugin& e = *engine_;
        const float wheel = engineValueOf(param::kModWheel);
        for (int i = 0; i < kNumParameters; ++i)
            e.setParameter(i, i == param::kModWheel && wheel != 0.0f ? 0.99f * wheel : engineValueOf(i));
        e.reset();
        e.setParameter(param::kModWheel, wheel);
        e.rebuildRouting();
    }
    if (notifyEditor && editorOpen()) emitToEditor(toeditor::kRefreshAll, 0, 20.0f);
}

// ---- host settings ----

void PluginBase::setBlockSize(int frames) {
    if (frames < 1) return;
    const long long rounded = (static_cast<long long>(frames) + 15) / 16 * 16;
    const bool tooLarge = rounded > kOutputFrames;
    blockSize_.store(static_cast<int>(std::min<long long>(rounded, 1 << 30)));
    blockSizeChanged_.store(true);
    blockTooLarge_.store(tooLarge, std::memory_order_release);
    if (!tooLarge && engine_) {
        RenderGate::Change change(gate_);
        engine_->setBlockSize(static_cast<int>(rounded));
        engine_->prepare();
    }
}

void PluginBase::setSampleRate(float rate) {
    // Rates beyond any real converter would only ask for absurd amounts of memory.
    if (!(rate > 0.0f) || rate > kMaxSampleRate) return;
    sampleRate_.store(rate);
    sampleRateChanged_.store(true);
    if (engine_) {
        RenderGate::Change change(gate_);
        engine_->setSampleRate(rate);
        engine_->prepare();
    }
}

bool PluginBase::enableEngine(bool on) {
    RenderGate::Change change(gate_);
    if (!on) {
        engine_.reset();
        return true;
    }
    if (!engine_) {
        try {
            engine_ = std::make_unique<APlugin>();
        } catch (const std::bad_alloc&) {
            engine_.reset();
            return false;
        }
    }
    APlugin& e = *engine_;
    const int bs = blockSize_.load();
    if (!blockTooLarge()) {
        e.setBlockSize(bs);
        e.prepare();
    }
    e.setSampleRate(sampleRate_.load());
    e.prepare();
    e.setTempo(storedTempo_);
    applyAllDirect();
    e.arp().clearMarkers();
    tuning_.applyTo(e.midi().tuning());
    e.midi().clearKeyTables();

    // Warm-up pass: touches every buffer once so the first real block takes no page faults.
    if (e.isPrepared()) {
        const int frames = std::min(bs, kOutputFrames);
        std::vector<float> left, right;
        try {
            left.resize(static_cast<std::size_t>(frames));
            right.resize(static_cast<std::size_t>(frames));
        } catch (const std::bad_alloc&) {
            return false;
        }
        e.render(left.data(), right.data(), frames);
    }
    return true;
}

// ---- microtuning ----

void PluginBase::applyTuning() {
    if (!engine_) return;
    RenderGate::Change change(gate_);
    tuning_.applyTo(engine_->midi().tuning());
}

bool PluginBase::loadScale(const std::filesystem::path& file, std::string& error) {
    if (!tuning_.loadFile(file, error)) return false;
    applyTuning();
    return true;
}

void PluginBase::clearScale() {
    tuning_.clear();
    applyTuning();
}

void PluginBase::setTuningSettings(int referenceNote, int a4Index) {
    tuning_.setReferenceNote(referenceNote);
    tuning_.setA4Index(a4Index);
    applyTuning();
}

bool PluginBase::restoreTuning(std::string_view stateText) {
    if (!tuning_.fromStateText(stateText)) return false;
    applyTuning();
    return true;
}

// ---- editor side ----

bool PluginBase::postToEngine(std::int32_t type, std::uint32_t index, double value) {
    return toEngine_.enqueue({type, index, value});
}

void PluginBase::requestEditorRefresh() { emitToEditor(toeditor::kRefreshAll, 0, 20.0f); }

void PluginBase::idle() {
    if (learnDirty_.exchange(false)) learn_.save();
    publishPendingProgramChange();
    idleWorkers_.runPending();
}

void PluginBase::deferNote(int note, int velocity) {
    toEngine_.try_enqueue(audioToEngine_, {toengine::kNote, static_cast<std::uint32_t>(note),
                                           static_cast<double>(velocity)});
}

// ---- programs and state ----

Config& PluginBase::config() {
    config_.load(false);
    return config_;
}

std::string PluginBase::currentProgramName() {
    std::string name = bank_.workingProgram().name();
    if (name.size() > 24) name.resize(24);
    return name;
}

void PluginBase::postProgramSwitch(int program) {
    eventBus_.publish(SwitchPresetEvent::fromHost(SwitchPresetEvent::kByNumber, program, editorOpen()));
}

// MIDI program changes arrive on the audio thread, which must not touch the bus or load
// presets: it leaves the request in an atomic that this main-thread call publishes.
void PluginBase::publishPendingProgramChange() {
    const int code = pendingProgram_.exchange(-1);
    if (code == -1) return;
    const bool open = editorOpen();
    if (code >= kLearnedCommandBase) {
        eventBus_.publish(SwitchPresetEvent::fromLearnedCommand(SwitchPresetEvent::kByNumber,
                                                                code - kLearnedCommandBase, open));
    } else if (code == kLearnedCommandBase + MidiLearnTable::kNextPreset) {
        eventBus_.publish(SwitchPresetEvent::fromLearnedCommand(SwitchPresetEvent::kNext, -1, open));
    } else if (code == kLearnedCommandBase + MidiLearnTable::kPreviousPreset) {
        eventBus_.publish(SwitchPresetEvent::fromLearnedCommand(SwitchPresetEvent::kPrevious, -1, open));
    } else if (code >= 0) {
        eventBus_.publish(SwitchPresetEvent::fromHost(SwitchPresetEvent::kByNumber, code, open));
    }
}

int PluginBase::saveState(void** data) {
    std::lock_guard lock(stateMutex_);
    Preset& current = bank_.workingProgram();
    for (int i = 0; i < kNumParameters; ++i)
        current.setParameter(i, parameters_[i].load(std::memory_order_relaxed));
    return chunk_.saveState(data);
}

void PluginBase::restoreState(const void* data, int byteSize) {
    std::lock_guard lock(stateMutex_);
    if (data != nullptr && byteSize > 0 && static_cast<std::size_t>(byteSize) <= kMaxChunkBytes)
        chunk_.restoreState(data, byteSize);
    // Whatever the chunk made of it, the rest runs: an unreadable chunk re-applies the
    // unchanged sound.
    applyTuning();
    applyAllParameters(true);
    onStateRestored();
    if (editorObject_) eventBus_.publish(ReloadChunkEvent{});
}

void PluginBase::process(const IEvent& event) {
    if (event.kind() != eventkind::kOnPresetLoaded || editorOpen()) return;
    const auto& loaded = static_cast<const OnPresetLoadedEvent&>(event);
    bank_.setCurrentProgram(0);
    bank_.copyToCurrent(loaded.preset());
    takeWorkingProgram();
    // As the editor's "apply all" record does: every value, no engine reset.
    if (mustDefer())
        toEngine_.enqueue({toengine::kApplyAllParameters, 0, 0.0});
    else
        applyAllDirect();
}

// ---- audio thread ----

void PluginBase::markAudioThread() {
    audioThread_.store(std::this_thread::get_id(), std::memory_order_release);
    renderStarted_.store(true, std::memory_order_release);
}

bool PluginBase::onSeparateAudioThread() const {
    const std::thread::id self = std::this_thread::get_id();
    return renderStarted_.load(std::memory_order_acquire) && self != ownerThread_ &&
           self == audioThread_.load(std::memory_order_acquire);
}

void PluginBase::emitToEditor(std::int32_t type, std::int32_t index, float value) {
    const EngineToEditorRecord r{type, index, value};
    if (renderStarted_.load(std::memory_order_acquire) &&
        std::this_thread::get_id() == audioThread_.load(std::memory_order_acquire))
        toEditor_.try_enqueue(audioToEditor_, r); // never allocates; dropped when full
    else
        toEditor_.enqueue(r);
}

void PluginBase::drainEditorQueue() {
    if (!engine_) return;
    APlugin& e = *engine_;
    bool parameterChanged = false;
    EditorToEngineRecord r{};
    while (toEngine_.try_dequeue(r)) {
        switch (r.type) {
        case toengine::kHostParameter:
            if (r.index < kNumParameters) e.setParameter(static_cast<int>(r.index), engineValueOf(static_cast<int>(r.index)));
            break;
        case toengine::kSetParameter:
            if (r.index < kNumParameters) {
                const int i = static_cast<int>(r.index);
                const float v = static_cast<float>(r.value);
                const float ev = params_.convertValue(i, v);
                parameters_[i].store(std::isfinite(v) ? v : ev, std::memory_order_relaxed);
                e.setParameter(i, ev);
                parameterChanged = true;
            }
            break;
        case toengine::kNote:
            if (r.index < 128) {
                if (r.value > 0.0)
                    e.noteOn(0, static_cast<int>(r.index), std::clamp(static_cast<int>(r.value), 1, 127));
                else
                    e.noteOff(0, static_cast<int>(r.index));
            }
            break;
        case toengine::kEngineReset: e.reset(); break;
        case toengine::kApplyAllParameters: applyAllDirect(); break;
        case toengine::kEditorOpen: editorOpen_.store(r.value > 0.0, std::memory_order_release); break;
        default: break;
        }
    }
    if (parameterChanged) e.rebuildRouting();
}

void PluginBase::handleController(int controller, int value) {
    float v = static_cast<float>(value) / 127.0f;
    if (learn_.armed()) {
        emitToEditor(toeditor::kLearnControllerArrived, 0, 0.0f);
        const int pending = learn_.pendingTarget();
        if ((pending == MidiLearnTable::kPreviousPreset || pending == MidiLearnTable::kNextPreset) &&
            v > 0.0f && v < 1.0f)
            learn_.setPendingTarget(MidiLearnTable::kProgramSelect); // a knob, not a switch
    }
    bool changed = false;
    int target = learn_.lookup(controller, &changed);
    if (changed) learnDirty_.store(true, std::memory_order_release);
    if (target == MidiLearnTable::kUnbound && controller >= 14 && controller <= 17)
        target = param::kMacro1 + (controller - 14);

    if (target >= 0 && target < kNumParameters) {
        if (const int k = learnedControllerOptions(target); k > 0) v = v * 0.001f * static_cast<float>(k);
        toEngine_.try_enqueue(audioToEngine_, {toengine::kSetParameter, static_cast<std::uint32_t>(target), v});
        if (editorOpen()) {
            emitToEditor(toeditor::kParameterChanged, target, v);
            emitToEditor(toeditor::kRefreshSection, target, v);
        }
        return;
    }
    const bool step = v > 0.0f;
    if (target == MidiLearnTable::kProgramSelect || ((target == MidiLearnTable::kPreviousPreset ||
                                                      target == MidiLearnTable::kNextPreset) && step)) {
        if (editorOpen()) {
            emitToEditor(toeditor::kSwitchProgram, target, v);
        } else if (target == MidiLearnTable::kProgramSelect) {
            requestLearnedProgramCommand(static_cast<int>(v));
        } else {
            // Relative steps travel as negative codes; the preset manager resolves them.
            requestLearnedProgramCommand(target);
        }
    }
}

void PluginBase::publishStatus() {
    if (!engine_) return;
    APlugin& e = *engine_;
    status_.stepper1Step.store(e.stepper(0).currentStep(), std::memory_order_relaxed);
    status_.stepper2Step.store(e.stepper(1).currentStep(), std::memory_order_relaxed);
    status_.arpLastStep.store(e.arp().lastStep(), std::memory_order_relaxed);
    status_.peakLeft.store(e.peakLeft(), std::memory_order_relaxed);
    status_.peakRight.store(e.peakRight(), std::memory_order_relaxed);
}

} // namespace kolva
