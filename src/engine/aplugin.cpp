#include "engine/aplugin.h"

#include "core/parameter_defs.h"
#include "engine/module_arp.h"
#include "engine/module_envelope.h"
#include "engine/module_ext_control.h"
#include "engine/module_filter.h"
#include "engine/module_lfo.h"
#include "engine/module_matrix.h"
#include "engine/module_midi.h"
#include "engine/module_mixer.h"
#include "engine/module_oscillator.h"
#include "engine/module_perfomance.h"
#include "engine/module_registry.h"
#include "engine/module_stepper.h"
#include "engine/voice_sum.h"
#include "fx/fx_module.h"
#include "fx/module_fx_equalizer.h"
#include "platform/denormals.h"
#include "platform/memory_lock.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kolva {
namespace {

// The six target/amount/velocity parameters of each envelope and LFO feed the matrix's
// direct rows 15..22 (env1..env4, lfo1..lfo4).
constexpr int kDirectBlockStart[8] = {123, 139, 155, 171, 187, 203, 219, 235};

bool crossesModeFamily(int from, int to) { return isMonoMode(from) != isMonoMode(to); }

} // namespace

APlugin::APlugin() {
    matrix_ = std::make_unique<ModuleMatrix>();
    matrix_->init(&context_, &voiceContext_, matrix_.get(), "matrix");
    for (const ModuleEntry& e : moduleRegistry()) {
        std::unique_ptr<Module> m = e.create();
        m->init(&context_, &voiceContext_, matrix_.get(), e.name);
        m->setup();
        modules_[e.number] = std::move(m);
    }
    midi_ = static_cast<ModuleMidi*>(modules_[kModMidi].get());
    for (int i = 0; i < 4; ++i) {
        env_[i] = static_cast<ModuleEnvelope*>(modules_[kModEnv1 + i].get());
        lfo_[i] = static_cast<ModuleLfo*>(modules_[kModLfo1 + i].get());
        osc_[i] = static_cast<ModuleOscillator*>(modules_[kModOsc1 + i].get());
        osc_[i]->setNoteSource(midi_);
        lfo_[i]->setNoteSource(midi_);
    }
    mixer_ = static_cast<ModuleMixer*>(modules_[kModMixer].get());
    filter_ = static_cast<ModuleFilter*>(modules_[kModFilter].get());
    filter_->setNoteSource(midi_);
    perf_ = static_cast<ModulePerfomance*>(modules_[kModPerfomance].get());
    ext_ = static_cast<ModuleExtControl*>(modules_[kModExtControl].get());
    stepper_[0] = static_cast<ModuleStepper*>(modules_[kModStepper1].get());
    stepper_[1] = static_cast<ModuleStepper*>(modules_[kModStepper1 + 1].get());
    arp_ = static_cast<ModuleArp*>(modules_[kModArp].get());
    for (ModuleStepper* s : stepper_) s->setNoteSource(midi_);
    equalizer_ = static_cast<ModuleFxEqualizer*>(modules_[kModFxEqualizer].get());

    buildRouting();
    env_[0]->setFreeRun(true); // the amplitude envelope
    half_.fill(0.5f);
    // The oscillator and filter tables are locked by their owner; make room for them.
    platform::raiseLockableMemory(kLockedTableAllowance);
}

APlugin::~APlugin() = default;

void APlugin::buildRouting() {
    routing_.clear();
    const auto& defs = parameterDefs();
    for (int index = 0; index < kNumParameters; ++index) {
        const ParameterDef& d = defs[index];
        for (int r = 0; r < d.receiverCount; ++r) {
            const ParamReceiver rc = d.receivers[r];
            if (rc.module < 0 || rc.module >= kNumModules) continue;
            if (routing_.add(index, rc.module, rc.slot)) modules_[rc.module]->bindParameter(rc.slot, index);
        }
    }
}

Module* APlugin::module(int number) const {
    return (number >= 0 && number < kNumModules) ? modules_[number].get() : nullptr;
}

void APlugin::setSampleRate(float rate) {
    if (!(rate > 0.0f)) return;
    context_.setSampleRate(rate);
}

void APlugin::setTempo(float tempo) {
    if (!std::isfinite(tempo)) return;
    context_.tempo = tempo;
    voiceContext_.tempo = tempo;
    // The effects tail is counted in beats; a sane lower bound keeps it finite.
    if (tempo >= 1.0f) context_.lastPositiveTempo = std::min(tempo, 1000.0f);
}

std::size_t APlugin::arenaBytes(int blockSize, float sampleRate) {
    return (static_cast<std::size_t>(blockSize) / 32 + 1) * 917504u +
           static_cast<std::size_t>(static_cast<double>(sampleRate) * 20971520.0 / 44100.0);
}

bool APlugin::prepare() {
    const int bs = context_.blockSize;
    const float sr = context_.sampleRate;
    if (bs < 1 || bs > kMaxBlockSize || !(sr > 0.0f)) return false;
    const int intRate = static_cast<int>(sr);
    if (prepared_ && bs == preparedBlockSize_ && intRate == preparedIntRate_) return true;

    prepared_ = false;
    if (!voiceContext_.recreateArena(arenaBytes(bs, sr))) return false;
    voiceContext_.sampleRate = sr;
    voiceContext_.blockSize = bs;
    for (auto& m : modules_) {
        m->setSampleRate(sr);
        m->setBlockSize(bs);
    }
    matrix_->setSampleRate(sr);
    matrix_->setBlockSize(bs);
    preparedBlockSize_ = bs;
    preparedIntRate_ = intRate;
    publishAll();
    prepared_ = true;
    return true;
}

// ---- publication of module outputs to the matrix source table ----

void APlugin::publishMidi() {
    matrix_->setSource(ModuleMatrix::kPosVelocity, midi_->getModOutput(ModuleMidi::kOutVelocity));
    matrix_->setSource(ModuleMatrix::kPosKeyFollow, midi_->getModOutput(ModuleMidi::kOutKeyFollow));
    matrix_->setSource(ModuleMatrix::kPosRandomBipolar,
                       midi_->getModOutput(ModuleMidi::kOutRandomBipolar));
    matrix_->setSource(ModuleMatrix::kPosRandomUnipolar,
                       midi_->getModOutput(ModuleMidi::kOutRandomUnipolar));
    matrix_->setVelocitySources(midi_->getModOutput(ModuleMidi::kOutVelocity),
                                midi_->getModOutput(ModuleMidi::kOutVelocityComplement));
}

void APlugin::publishExtControls() {
    matrix_->setSource(ModuleMatrix::kPosPitchWheel, ext_->getModOutput(ModuleExtControl::kPitchBend));
    matrix_->setSource(ModuleMatrix::kPosModWheel, ext_->getModOutput(ModuleExtControl::kModWheel));
    matrix_->setSource(ModuleMatrix::kPosAftertouch, ext_->getModOutput(ModuleExtControl::kPressure));
    matrix_->setSource(ModuleMatrix::kPosFootPedal, ext_->getModOutput(ModuleExtControl::kFoot));
    matrix_->setSource(ModuleMatrix::kPosBreath, ext_->getModOutput(ModuleExtControl::kBreath));
    matrix_->setSource(ModuleMatrix::kPosExpression, ext_->getModOutput(ModuleExtControl::kExpression));
    matrix_->setSource(ModuleMatrix::kPosSustain, ext_->getModOutput(ModuleExtControl::kSustain));
}

void APlugin::publishModulators() {
    for (int i = 0; i < 4; ++i) {
        matrix_->setSource(ModuleMatrix::kPosEnv1 + i, env_[i]->getModOutput(0));
        matrix_->setSource(ModuleMatrix::kPosLfo1 + i, lfo_[i]->getModOutput(0));
        matrix_->setSource(ModuleMatrix::kPosMacro1 + i, perf_->getModOutput(i));
    }
    matrix_->setSource(ModuleMatrix::kPosStepper1, stepper_[0]->getModOutput(0));
    matrix_->setSource(ModuleMatrix::kPosStepper2, stepper_[1]->getModOutput(0));
}

void APlugin::publishAll() {
    matrix_->setSource(ModuleMatrix::kPosArpStep, arp_->getModOutput(0));
    publishExtControls();
    publishMidi();
    publishModulators();
    for (int i = 0; i < 4; ++i) matrix_->setSource(ModuleMatrix::kPosOsc1 + i, osc_[i]->getModOutput(0));
}

// ---- parameters ----

void APlugin::routeToModules(int index, float value) {
    const RoutingTable::Record& r = routing_.record(index);
    for (int i = 0; i < r.count; ++i) modules_[r.module[i]]->setParameter(r.slot[i], value);
}

void APlugin::setParameter(int index, float v) {
    if (index < 0 || index >= kNumParameters) return;
    bool matrixParam = false;
    switch (index) {
    case param::kMode: {
        pendingMode_ = std::clamp(static_cast<int>(v * 999.99f), 0, 5);
        // Crossing between mono and poly waits for the next block, which releases all notes.
        if (crossesModeFamily(context_.polyMode, pendingMode_)) return;
        break;
    }
    case param::kVelocity: ampModAmount_ = 2.0f * v - 1.0f; break;
    case param::kPhsPre: phaserBeforeShaper_ = v > 0.0f; break;
    case param::kRevMode: reverbBeforeCompressor_ = static_cast<int>(v * 1000.0f) > 4; break;
    case param::kBendWheel: {
        const float b = 2.0f * v - 1.0f;
        // The wheels are re-applied every block; only a real change is a new controller value
        // (otherwise the smoother's timing of controller gaps would restart each block).
        if (std::fabs(b - ext_->lastInput(ModuleExtControl::kPitchBend)) > 1e-6f)
            ext_->input(ModuleExtControl::kPitchBend, 0, b);
        midi_->setBend(b);
        break;
    }
    case param::kModWheel:
        if (std::fabs(v - ext_->lastInput(ModuleExtControl::kModWheel)) > 1e-6f)
            ext_->input(ModuleExtControl::kModWheel, 0, v);
        break;
    case param::kAntiClick: voiceContext_.antiClick = static_cast<int>(v); break;
    default:
        if (index >= param::kSlotsFirst && index <= param::kSlotsLast) {
            matrix_->setSlotParameter(index - param::kSlotsFirst, v);
            matrixParam = true;
        } else {
            for (int k = 0; k < 8; ++k) {
                const int pos = index - kDirectBlockStart[k];
                if (pos >= 0 && pos < 6) {
                    matrix_->setDirectParameter(ModuleMatrix::kFirstDirectRow + k, pos, v);
                    matrixParam = true;
                    break;
                }
            }
        }
        break;
    }
    if (matrixParam && routingCountdown_ <= 0) routingCountdown_ = kRoutingCountdownStart;
    routeToModules(index, v);
}

void APlugin::rebuildRouting() {
    matrix_->rebuild();
    routingCountdown_ = 0;
}

// ---- notes and controllers ----

void APlugin::startNote(int offset, int note, int velocity) {
    voiceContext_.noteRandom1 = noteRandom_.next() * 0.001f - voiceContext_.noteRandom2;
    voiceContext_.noteRandom2 = noteRandom_.next() * 0.001f;
    voiceContext_.previousNoteOnTime = voiceContext_.lastNoteOnTime;
    voiceContext_.lastNoteOnTime = context_.clock();
    midi_->noteOn(offset, note, velocity);
}

void APlugin::noteOn(int offset, int note, int velocity) {
    if (held_.full()) return;
    sustained_.removeAll(note);
    arp_->noteOn(offset, note, velocity);
    // While the arpeggiator plays, the key only feeds it; its notes start in render.
    if (!arp_->isOn()) startNote(offset, note, velocity);
    held_.push(note);
    allNotesOffRequest_ = 0;
}

void APlugin::noteOff(int offset, int note) {
    held_.removeAll(note);
    if (sustain_ == 0) {
        arp_->noteOff(offset, note);
        if (!arp_->isOn()) midi_->noteOff(offset, note);
    } else {
        sustained_.push(note); // refused when full
    }
}

void APlugin::allNotesOff(int offset) {
    midi_->resetVoiceBuffers();
    for (int i = 0; i < held_.size(); ++i) {
        const int n = held_[i];
        midi_->polyNoteOff(offset, n);
        midi_->monoNoteOff(offset, n);
    }
    held_.clear();
    // The arpeggiator forgets its keys; the notes it still plays end here too, held list or
    // not, so none of them outlives the request.
    arp_->releaseAll();
    for (int i = 0; i < arp_->eventCount(); ++i) {
        const ArpEvent& e = arp_->event(i);
        if (e.kind != ArpEvent::kNoteOff) continue;
        midi_->polyNoteOff(offset, e.note);
        midi_->monoNoteOff(offset, e.note);
    }
    arp_->clearEvents();
    arp_->clearMarkers();
}

void APlugin::controller(int value, int offset, int kind, float bend) {
    const float c = static_cast<float>(value) / 127.0f;
    switch (kind) {
    case 0: ext_->input(ModuleExtControl::kModWheel, offset, c); break;
    case 1: ext_->input(ModuleExtControl::kBreath, offset, c); break;
    case 3: ext_->input(ModuleExtControl::kFoot, offset, c); break;
    case 10: ext_->input(ModuleExtControl::kExpression, offset, c); break;
    case 63:
        ext_->input(ModuleExtControl::kSustain, offset, c);
        if (value > 63 && sustain_ == 0) {
            sustain_ = 1;
        } else if (value < 64 && sustain_ != 0) {
            sustain_ = 0;
            for (int i = 0; i < sustained_.size(); ++i) {
                arp_->noteOff(offset, sustained_[i]);
                if (!arp_->isOn()) midi_->noteOff(offset, sustained_[i]);
            }
            sustained_.clear();
        }
        break;
    case 64: ext_->input(ModuleExtControl::kPitchBend, offset, bend); break;
    case 65: ext_->input(ModuleExtControl::kPressure, offset, pressureCurve(c)); break;
    case 119:
        allNotesOffRequest_ = 1;
        allSoundOff_ = 2;
        break;
    case 122: allNotesOffRequest_ = 1; break;
    default: break;
    }
}

// ---- block processing ----

void APlugin::reset() {
    filter_->reset();
    for (int m : {kModFxChorus, kModFxPhaser, kModFxDelay, kModFxRever}) modules_[m]->reset();
    for (auto* e : env_) e->reset();
    stepper_[0]->reset();
    stepper_[1]->reset();
    arp_->reset();
    allNotesOffRequest_ = 1;
}

void APlugin::sumVoices(float* left, float* right, int frames) {
    std::memset(left, 0, sizeof(float) * static_cast<std::size_t>(frames));
    std::memset(right, 0, sizeof(float) * static_cast<std::size_t>(frames));
    float* const* inL = filter_->getAudioOutput(0);
    float* const* inR = filter_->getAudioOutput(1);
    float* const* amp = env_[0]->getModOutput(0);
    if (inL == nullptr || inR == nullptr || amp == nullptr) return;
    float* const* vel = midi_->getModOutput(ModuleMidi::kOutVelocity);
    float* const* comp = midi_->getModOutput(ModuleMidi::kOutVelocityComplement);
    const bool mono = isMonoMode(voiceContext_.modeInEffect);
    const int first = mono ? kMonoVoice : 0;
    const int last = mono ? kMonoVoice : kPolyVoices - 1;
    for (int v = first; v <= last; ++v) {
        if (!env_[0]->isActive(v)) continue;
        addVoice(left, right, inL[v], inR[v], amp[v], vel ? vel[v] : nullptr,
                 comp ? comp[v] : nullptr, ampModAmount_, frames);
    }
}

void APlugin::processEffects(int frames, float* left, float* right) {
    // A block that arrives as NaN or infinity is dropped before it can reach a delay line; one
    // that leaves the chain so puts every effect back to rest. Either way the listener hears
    // one silent block instead of a chain that rings NaN for ever.
    if (!prepared_ || frames <= 0 || frames > preparedBlockSize_) return;
    if (!isBlockFinite(left, frames) || !isBlockFinite(right, frames)) {
        std::fill(left, left + frames, 0.0f);
        std::fill(right, right + frames, 0.0f);
        ++nonFiniteBlocks_;
    }
    runEffects(frames, left, right);
    if (!isBlockFinite(left, frames) || !isBlockFinite(right, frames)) {
        for (int m = kModFxShaper; m <= kModFxEqualizer; ++m)
            static_cast<FxModule*>(modules_[m].get())->recover();
        std::fill(left, left + frames, 0.0f);
        std::fill(right, right + frames, 0.0f);
        ++nonFiniteBlocks_;
    }
    ++effectsRuns_;
}

void APlugin::runEffects(int frames, float* left, float* right) {
    Module* shaper = modules_[kModFxShaper].get();
    Module* phaser = modules_[kModFxPhaser].get();
    Module* rever = modules_[kModFxRever].get();
    if (phaserBeforeShaper_) {
        phaser->process(frames, left, right);
        shaper->process(frames, left, right);
    } else {
        shaper->process(frames, left, right);
        phaser->process(frames, left, right);
    }
    modules_[kModFxChorus]->process(frames, left, right);
    equalizer_->processStage(1, frames, left, right);
    if (reverbBeforeCompressor_) rever->process(frames, left, right);
    modules_[kModFxCompressor]->process(frames, left, right);
    equalizer_->processStage(2, frames, left, right);
    modules_[kModFxDelay]->process(frames, left, right);
    if (!reverbBeforeCompressor_) rever->process(frames, left, right);
    equalizer_->processStage(3, frames, left, right);
}

void APlugin::render(float* left, float* right, int frames) {
    if (frames <= 0) return;
    const platform::ScopedFlushDenormals flushDenormals;
    if (!prepared_ || frames > preparedBlockSize_) {
        // Not ready (or asked for more than was prepared): silence, never a buffer overrun.
        const int n = std::min(frames, kMaxBlockSize);
        std::memset(left, 0, sizeof(float) * static_cast<std::size_t>(n));
        std::memset(right, 0, sizeof(float) * static_cast<std::size_t>(n));
        return;
    }

    // 1. Notes queued for release.
    for (int i = 0; i < pending_.size(); ++i) noteOff(0, pending_[i]);
    pending_.clear();

    // 2. Deferred routing rebuild after matrix edits.
    if (routingCountdown_ > 0) {
        routingCountdown_ -= frames / 128 + 1;
        if (routingCountdown_ <= 0) rebuildRouting();
    }

    // 3. Arpeggiator and the notes it plays, at their offsets in this block.
    arp_->renderBlock(frames);
    matrix_->setSource(ModuleMatrix::kPosArpStep, arp_->getModOutput(0));
    for (int i = 0; i < arp_->eventCount(); ++i) {
        const ArpEvent& e = arp_->event(i);
        if (e.kind == ArpEvent::kNoteOn) {
            startNote(e.offset, e.note, std::clamp(e.velocity, 1, 127));
            held_.push(e.note);
        } else {
            midi_->noteOff(e.offset, e.note);
            held_.removeAll(e.note);
        }
    }
    arp_->clearEvents();

    // 4. Mono/poly switch and all-notes-off requests release everything at the block end.
    if (pendingMode_ != context_.polyMode && crossesModeFamily(context_.polyMode, pendingMode_))
        allNotesOff(frames - 1);
    if (allNotesOffRequest_ != 0) {
        allNotesOff(frames - 1);
        allNotesOffRequest_ = 0;
    }

    // 5.-6. Controllers, then voice allocation and per-voice signals.
    ext_->renderBlock(frames);
    publishExtControls();
    midi_->renderBlock(frames);
    publishMidi();
    // The envelopes read the notes' trigger lanes: lane 0 for the amplitude envelope.
    for (int v = 0; v < kNumVoices; ++v) {
        const bool started = midi_->noteStartedInBlock(v);
        for (int i = 0; i < 4; ++i) {
            env_[i]->setGate(v, midi_->gateLane(v, i == 0 ? 0 : 1));
            if (started) env_[i]->markNoteStart(v);
        }
    }

    // 7. Modulators: env1 always, the others only while the matrix reads them. What env1
    // reported last block tells the oscillators which voices start from silence.
    for (int v = 0; v < kNumVoices; ++v)
        voiceContext_.silentBeforeBlock[v] = voiceContext_.ampEnvelopeActive[v] == 0 ? 1 : 0;
    const bool arpOn = arp_->isOn();
    for (int s = 0; s < 2; ++s) {
        stepper_[s]->setArpState(arpOn, arp_->markers());
        if (matrix_->isSourceUsed(ModuleMatrix::kPosStepper1 + s)) stepper_[s]->renderBlock(frames);
    }
    env_[0]->renderBlock(frames);
    for (int i = 1; i < 4; ++i)
        if (matrix_->isSourceUsed(ModuleMatrix::kPosEnv1 + i)) env_[i]->renderBlock(frames);
    for (int i = 0; i < 4; ++i)
        if (matrix_->isSourceUsed(ModuleMatrix::kPosLfo1 + i)) lfo_[i]->renderBlock(frames);
    bool macroUsed = false;
    for (int i = 0; i < 4; ++i) macroUsed = macroUsed || matrix_->isSourceUsed(ModuleMatrix::kPosMacro1 + i);
    if (macroUsed) perf_->renderBlock(frames);
    publishModulators();
    arp_->clearMarkers();

    // 8. Sound sources, mixer, filters.
    for (int i = 0; i < 4; ++i) {
        if (mixer_->isOscillatorAudible(i)) osc_[i]->renderBlock(frames);
        matrix_->setSource(ModuleMatrix::kPosOsc1 + i, osc_[i]->getModOutput(0));
        mixer_->setOscillatorOutputs(i, osc_[i]->getAudioOutput(0), osc_[i]->getAudioOutput(1));
    }
    mixer_->renderBlock(frames);
    for (int k = 0; k < 4; ++k) filter_->setInput(k, mixer_->getAudioOutput(k));
    filter_->renderBlock(frames);

    // 9. Amplitude envelope, velocity gain and summing.
    sumVoices(left, right, frames);

    // 10. A pending polyphony mode takes effect.
    if (pendingMode_ != context_.polyMode) {
        context_.polyMode = pendingMode_;
        routeToModules(param::kMode, static_cast<float>(pendingMode_) / 999.0f);
    }

    // 11. The effects sleep once the voices and their tail are silent.
    const bool silent = isBlockSilent(left, frames) && isBlockSilent(right, frames);
    if (!tailGate_.runEffects(silent, frames, context_.sampleRate, context_.lastPositiveTempo))
        return;

    // 12.-13. Effects chain.
    processEffects(frames, left, right);
    tailGate_.setPreviousSilent(isBlockSilent(left, frames) && isBlockSilent(right, frames));

    // 14. CC 120 resets the effects at the end of the second block after it.
    if (allSoundOff_ != 0) {
        if (allSoundOff_-- == 1) reset();
    }

    // 15.-16. Meters and the one-block transport pulse.
    peakL_.process(left, frames, context_.sampleRate);
    peakR_.process(right, frames, context_.sampleRate);
    context_.transportStopped = 0;
}

} // namespace kolva
