#include "core/kolva.h"

#include "engine/aplugin.h"
#include "engine/module_arp.h"
#include "engine/module_midi.h"
#include "util/number_text.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

namespace kolva {
namespace {

constexpr VstInt32 kVendorCodeQuery1 = 0x73486921;
constexpr VstInt32 kVendorCodeQuery2 = 0x73493030;
constexpr VstInt32 kVendorCodeQuery3 = 0x734F3030;
constexpr VstInt32 kVendorTextToValue = 0x73533256;
constexpr VstInt32 kVendorValueToText = 0x73563253;

bool contains(const char* text, std::string_view word) {
    return std::string_view(text).find(word) != std::string_view::npos;
}

} // namespace

Kolva::Kolva(audioMasterCallback audioMaster)
    : AudioEffectX(audioMaster, 0, kNumParameters) {
    init();

    char product[256] = {};
    char vendor[256] = {};
    getHostProductString(product);
    getHostVendorString(vendor);
    // These hosts leave notes hanging when their transport stops.
    setReleaseNotesOnStop(contains(product, "SIBELIUS") || contains(product, "Sibelius") ||
                          contains(product, "sibelius") || contains(product, "Cakewalk") ||
                          contains(product, "cakewalk"));
    isAbletonHost_ = contains(vendor, "Ableton");
    // Names the folder that presets converted from this host's old projects go to.
    chunk().setSourceName(product[0] != '\0' ? product : "host");

    setFlag(effFlagsProgramChunks, true);
    setNumInputs(0);
    setNumOutputs(2);
    setUniqueID(kUniqueId);
    setFlag(effFlagsIsSynth, true);
    setFlag(effFlagsCanReplacing, true);
    setEditor(nullptr); // no editor window yet: the has-editor flag stays clear

    enableEngine(true);
}

Kolva::~Kolva() { setEditor(nullptr); }

VstIntPtr Kolva::dispatcher(int opcode, int index, VstIntPtr value, void* ptr, float opt) {
    const VstIntPtr result = AudioEffectX::dispatcher(opcode, index, value, ptr, opt);
    // Any main-thread call is a chance to persist what the audio thread learned. Some hosts
    // also call in from their process thread (Ardour switches the plug-in off and on there
    // around an export); idle work (files, the event bus) never runs on that thread.
    if (opcode != effProcessEvents && opcode != effClose && !onSeparateAudioThread()) idle();
    return result;
}

void Kolva::suspend() {
    if (engine() == nullptr) return;
    RenderGate::Change change(gate_);
    engine()->reset();
}

void Kolva::setSampleRate(float rate) {
    AudioEffectX::setSampleRate(rate);
    PluginBase::setSampleRate(rate);
}

void Kolva::setBlockSize(int frames) {
    AudioEffectX::setBlockSize(frames);
    PluginBase::setBlockSize(frames);
}

void Kolva::setParameter(int index, float value) { PluginBase::setParameter(index, value, true); }

float Kolva::getParameter(int index) { return PluginBase::getParameter(index); }

void Kolva::setProgram(int program) {
    curProgram_ = program;
    postProgramSwitch(program);
}

void Kolva::getProgramName(char* name) { copyText(name, vst::kMaxProgNameLen + 1, currentProgramName()); }

void Kolva::getParameterLabel(int, char* text) { text[0] = '\0'; }
void Kolva::getParameterDisplay(int, char* text) { text[0] = '\0'; }
void Kolva::getParameterName(int, char* text) { text[0] = '\0'; }

int Kolva::getChunk(void** data, bool) {
    if (data == nullptr) return 0;
    *data = nullptr;
    return saveState(data);
}

int Kolva::setChunk(void* data, int byteSize, bool) {
    restoreState(data, byteSize);
    return byteSize;
}

void Kolva::onStateRestored() { updateDisplay(); }

bool Kolva::getOutputProperties(int index, VstPinProperties* props) {
    if (index < 0 || index > 1) return false;
    std::memset(props, 0, sizeof(VstPinProperties));
    const std::string label = "Kolva" + formatInt(index + 1);
    copyText(props->label, vst::kMaxPinLabelLen, label);
    props->flags = vst::kPinIsActive | vst::kPinIsStereo;
    return true;
}

bool Kolva::getEffectName(char* name) {
    copyText(name, vst::kMaxEffectNameLen, kEffectName);
    return true;
}

bool Kolva::getVendorString(char* text) {
    copyText(text, vst::kMaxVendorStrLen, kVendor);
    return true;
}

bool Kolva::getProductString(char* text) {
    copyText(text, vst::kMaxProductStrLen, kEffectName);
    return true;
}

int Kolva::getVendorVersion() {
    std::string digits;
    for (const char* p = kVersionText; *p; ++p)
        if (*p != '.') digits += *p;
    if (digits.empty()) return 0;
    return static_cast<int>(parseDouble(digits).value_or(0.0));
}

VstIntPtr Kolva::vendorSpecific(int code, VstIntPtr value, void* ptr, float opt) {
    switch (code) {
    case kVendorCodeQuery1:
    case kVendorCodeQuery2: return 1;
    case kVendorCodeQuery3: return 0;
    case kVendorTextToValue:
        if (ptr == nullptr) return 0;
        *static_cast<float*>(ptr) = textToValue(static_cast<int>(value), static_cast<const char*>(ptr));
        return 1;
    case kVendorValueToText: {
        if (ptr == nullptr) return 0;
        const float v = *static_cast<float*>(ptr);
        valueToText(static_cast<int>(value), v, static_cast<char*>(ptr));
        return 1;
    }
    default: return AudioEffectX::vendorSpecific(code, value, ptr, opt);
    }
}

int Kolva::canDo(char* text) {
    const std::string_view t(text);
    if (t == "receiveVstEvents" || t == "receiveVstMidiEvent" || t == "midiProgramNames") return 1;
    return -1;
}

bool Kolva::updateDisplay() {
    if (isAbletonHost_) return false;
    return AudioEffectX::updateDisplay();
}

bool Kolva::isFlStudioHost() {
    char product[256] = {};
    char vendor[256] = {};
    getHostProductString(product);
    getHostVendorString(vendor);
    return contains(product, "Fruity") && contains(vendor, "Image-Line");
}

void Kolva::valueToText(int, float value, char* text) {
    // The host's buffer is not sized by the interface; a float reads back within 24 bytes.
    const std::string s = formatFixed(static_cast<double>(value) * 1000.0, 0);
    copyText(text, 24, s);
}

float Kolva::textToValue(int, const char* text) {
    // strtod semantics: the leading number counts, trailing text is ignored.
    const auto v = parseLeadingDouble(text != nullptr ? std::string_view(text, strnlen(text, 256))
                                                      : std::string_view());
    const double x = v.value_or(0.0) * 0.001;
    if (!(x >= 0.0)) return 0.0f;
    return static_cast<float>(std::min(x, 1.0));
}

// ---- MIDI input ----

int Kolva::processEvents(VstEvents* events) {
    if (blockTooLarge()) return 1;
    markAudioThread();
    if (!gate_.tryEnterRender()) {
        // A restore or prepare is under way: notes wait for the next block.
        if (events != nullptr)
            for (int i = 0; i < events->numEvents; ++i) {
                const VstEvent* ev = events->events[i];
                if (ev == nullptr || ev->type != kVstMidiType) continue;
                const unsigned char* d = reinterpret_cast<const VstMidiEvent*>(ev)->midiData;
                const int status = d[0] & 0xF0;
                if (status == 0x80 || status == 0x90)
                    deferNote(d[1] & 0x7F, status == 0x90 ? (d[2] & 0x7F) : 0);
            }
        return 1;
    }
    APlugin* e = engine();
    if (e != nullptr) {
        e->setParameter(param::kModWheel, parameterTable().descriptor(param::kModWheel).value.load());
        e->arp().clearMarkers();
        e->midi().beginBlockEvents();
        if (events != nullptr && events->numEvents > 0) {
            const int lastFrame = std::max(1, std::min(hostBlockSize(), kOutputFrames)) - 1;
            for (int i = 0; i < events->numEvents; ++i) {
                const VstEvent* ev = events->events[i];
                if (ev == nullptr || ev->type != kVstMidiType) continue;
                const auto* midi = reinterpret_cast<const VstMidiEvent*>(ev);
                decodeMidi(midi->midiData, std::clamp(ev->deltaFrames, 0, lastFrame));
            }
        }
    }
    gate_.exitRender();
    return 1;
}

void Kolva::decodeMidi(const unsigned char* data, int offset) {
    APlugin& e = *engine();
    const int status = data[0] & 0xF0;
    const int d1 = data[1] & 0x7F;
    const int d2 = data[2] & 0x7F;
    switch (status) {
    case 0x80: e.noteOff(offset, d1); break;
    case 0x90:
        if (d2 == 0) {
            e.noteOff(offset, d1);
        } else {
            e.noteOn(offset, d1, d2);
            countNoteActivity();
        }
        break;
    case 0xB0:
        handleController(d1, d2);
        if (d1 >= 1 && d1 <= 123) e.controller(d2, offset, d1 - 1);
        if (d1 == 1) setParameterAutomated(param::kModWheel, static_cast<float>(d2) / 127.0f);
        break;
    case 0xC0: requestProgramChange(d1); break;
    case 0xD0: e.controller(d1, offset, 65); break;
    case 0xE0: {
        // 14-bit bend: centre 0x2000 is 0, the top value 0x3FFF is just under +1.
        const float b = (static_cast<float>(d1) / 128.0f + static_cast<float>(d2)) / 64.0f - 1.0f;
        e.controller(d2, offset, 64, b);
        setParameterAutomated(param::kBendWheel, (b + 1.0f) * 0.5f);
        break;
    }
    default: break; // polyphonic pressure, system messages
    }
}

// ---- the block ----

void Kolva::processReplacing(float**, float** outputs, int frames) {
    processBlock(outputs, frames, false);
}

void Kolva::processAccumulating(float**, float** outputs, int frames) {
    processBlock(outputs, frames, true);
}

void Kolva::processBlock(float** outputs, int frames, bool accumulate) {
    if (blockTooLarge() || frames <= 0) return;
    markAudioThread();
    float* outL = outputs != nullptr ? outputs[0] : nullptr;
    float* outR = outputs != nullptr ? outputs[1] : nullptr;
    if (!gate_.tryEnterRender()) {
        // A structural change is under way on another thread: this block is silent.
        if (!accumulate) {
            if (outL) std::memset(outL, 0, sizeof(float) * static_cast<std::size_t>(frames));
            if (outR) std::memset(outR, 0, sizeof(float) * static_cast<std::size_t>(frames));
        }
        return;
    }
    if (engine() == nullptr) {
        gate_.exitRender();
        return;
    }
    APlugin& e = *engine();

    drainEditorQueue();

    const VstTimeInfo* ti = getTimeInfo(kVstPpqPosValid);
    double position = ti != nullptr ? ti->ppqPos * 4.0 : 0.0;
    if (!std::isfinite(position)) position = 0.0;
    const int chunk = std::max(1, std::min(e.context().blockSize, kOutputFrames));
    if (transport_.update(position)) {
        e.pulseTransportStopped();
        if (releaseNotesOnStop()) {
            const int last = std::min(frames, chunk) - 1;
            for (int n = 0; n < 128; ++n) e.noteOff(last, n);
            e.requestAllNotesOff();
        }
    }

    if (int r = pendingRedraw_.load(std::memory_order_relaxed); r > 0)
        pendingRedraw_.store(r - 1, std::memory_order_relaxed);

    if ((ti = getTimeInfo(kVstTempoValid)) != nullptr) e.setTempo(static_cast<float>(ti->tempo));
    if ((ti = getTimeInfo(kVstTempoValid)) != nullptr && std::isfinite(ti->ppqPos))
        e.setSongPosition(static_cast<float>(ti->ppqPos));

    // Hosts may hand us more frames than they announced: render in prepared-size pieces.
    float* bufL = outputLeft();
    float* bufR = outputRight();
    for (int pos = 0; pos < frames;) {
        const int n = std::min(frames - pos, chunk);
        e.render(bufL, bufR, n);
        if (accumulate) {
            for (int i = 0; i < n; ++i) {
                if (outL) outL[pos + i] += bufL[i];
                if (outR) outR[pos + i] += bufR[i];
            }
        } else {
            if (outL) std::memcpy(outL + pos, bufL, sizeof(float) * static_cast<std::size_t>(n));
            if (outR) std::memcpy(outR + pos, bufR, sizeof(float) * static_cast<std::size_t>(n));
        }
        pos += n;
    }

    publishStatus();
    gate_.exitRender();
}

} // namespace kolva
