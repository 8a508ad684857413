#include "core/vst/audio_effect.h"

#include <cstring>

namespace kolva {
namespace {

// ---- C entry points handed to the host; nothing may throw past them ----

VstIntPtr dispatchTrampoline(AEffect* e, int opcode, int index, VstIntPtr value, void* ptr,
                             float opt) {
    AudioEffect* fx = AudioEffect::fromAeffect(e);
    if (fx == nullptr) return 0;
    try {
        if (opcode == effClose) {
            fx->dispatcher(opcode, index, value, ptr, opt);
            delete fx;
            return 1;
        }
        return fx->dispatcher(opcode, index, value, ptr, opt);
    } catch (...) {
        return 0;
    }
}

void processReplacingTrampoline(AEffect* e, float** in, float** out, int frames) {
    AudioEffect* fx = AudioEffect::fromAeffect(e);
    if (fx == nullptr) return;
    try {
        fx->processReplacing(in, out, frames);
    } catch (...) {
    }
}

void processAccumulatingTrampoline(AEffect* e, float** in, float** out, int frames) {
    AudioEffect* fx = AudioEffect::fromAeffect(e);
    if (fx == nullptr) return;
    try {
        fx->processAccumulating(in, out, frames);
    } catch (...) {
    }
}

void setParameterTrampoline(AEffect* e, int index, float value) {
    AudioEffect* fx = AudioEffect::fromAeffect(e);
    if (fx == nullptr) return;
    try {
        fx->setParameter(index, value);
    } catch (...) {
    }
}

float getParameterTrampoline(AEffect* e, int index) {
    AudioEffect* fx = AudioEffect::fromAeffect(e);
    if (fx == nullptr) return 0.0f;
    try {
        return fx->getParameter(index);
    } catch (...) {
        return 0.0f;
    }
}

} // namespace

AudioEffect::AudioEffect(audioMasterCallback audioMaster, int numPrograms, int numParams)
    : audioMaster_(audioMaster), numPrograms_(numPrograms), numParams_(numParams) {
    AEffect& e = record_.effect;
    e.magic = kEffectMagic;
    e.dispatcher = &dispatchTrampoline;
    e.process = &processAccumulatingTrampoline;
    e.setParameter = &setParameterTrampoline;
    e.getParameter = &getParameterTrampoline;
    e.numPrograms = numPrograms;
    e.numParams = numParams;
    e.numInputs = 1;
    e.numOutputs = 2;
    e.flags = 0;
    e.float1 = 1.0f; // ioRatio
    e.object = this;
    e.uniqueID = vst::fourCC('N', 'o', 'E', 'f');
    e.version = 1;
    e.processReplacing = &processReplacingTrampoline;
    e.processDoubleReplacing = nullptr;
}

AudioEffect::~AudioEffect() {
    // The host must not reach us through a record that outlives the object.
    record_.effect.object = nullptr;
}

AudioEffect* AudioEffect::fromAeffect(AEffect* e) {
    return (e != nullptr && e->magic == kEffectMagic) ? static_cast<AudioEffect*>(e->object)
                                                      : nullptr;
}

void AudioEffect::processAccumulating(float**, float**, int) {}

void AudioEffect::setParameterAutomated(int index, float value) {
    setParameter(index, value);
    callHost(vst::kHostAutomate, index, 0, nullptr, value);
}

VstIntPtr AudioEffect::callHost(int opcode, int index, VstIntPtr value, void* ptr, float opt) {
    if (audioMaster_ == nullptr) return 0;
    return audioMaster_(&record_.effect, opcode, index, value, ptr, opt);
}

int AudioEffect::getMasterVersion() {
    VstIntPtr v = callHost(vst::kHostVersion);
    return v == 0 ? 1 : static_cast<int>(v);
}

void AudioEffect::setEditor(AEffEditor* editor) {
    editor_ = editor;
    setFlag(effFlagsHasEditor, editor != nullptr);
}

void AudioEffect::setFlag(int flag, bool on) {
    if (on)
        record_.effect.flags |= flag;
    else
        record_.effect.flags &= ~static_cast<t_fstPtrInt>(flag);
}

VstIntPtr AudioEffect::dispatcher(int opcode, int index, VstIntPtr value, void* ptr, float opt) {
    char* text = static_cast<char*>(ptr);
    switch (opcode) {
    case effOpen: open(); return 0;
    case effClose: close(); return 0;
    case effSetProgram:
        if (value >= 0 && value < numPrograms_) setProgram(static_cast<int>(value));
        return 0;
    case effGetProgram: return getProgram();
    case effSetProgramName:
        if (text) setProgramName(text);
        return 0;
    case effGetProgramName:
        if (text) getProgramName(text);
        return 0;
    case effGetParamLabel:
        if (text) getParameterLabel(index, text);
        return 0;
    case effGetParamDisplay:
        if (text) getParameterDisplay(index, text);
        return 0;
    case effGetParamName:
        if (text) getParameterName(index, text);
        return 0;
    case effSetSampleRate: setSampleRate(opt); return 0;
    case effSetBlockSize: {
        // Hosts pass a pointer-sized value; anything beyond int range is simply "too large".
        const VstIntPtr big = 1 << 30;
        setBlockSize(static_cast<int>(value > big ? big : (value < -big ? -big : value)));
        return 0;
    }
    case effMainsChanged:
        if (value != 0)
            resume();
        else
            suspend();
        return 0;
    case effEditGetRect:
        if (editor_ != nullptr && ptr != nullptr)
            return editor_->getRect(static_cast<ERect**>(ptr)) ? 1 : 0;
        if (ptr != nullptr) *static_cast<ERect**>(ptr) = nullptr;
        return 0;
    case effEditOpen: return editor_ != nullptr && editor_->open(ptr) ? 1 : 0;
    case effEditClose:
        if (editor_ != nullptr) editor_->close();
        return 0;
    case effEditIdle:
        if (editor_ != nullptr) editor_->idle();
        return 0;
    case vst::kEffIdentify: return vst::fourCC('N', 'v', 'E', 'f');
    case effGetChunk:
        if (ptr == nullptr) return 0;
        return getChunk(static_cast<void**>(ptr), index != 0);
    case effSetChunk:
        if (ptr == nullptr || value <= 0 || value > (VstIntPtr(1) << 30)) return 0;
        return setChunk(ptr, static_cast<int>(value), index != 0);
    default: return 0;
    }
}

// ---- AudioEffectX ----

VstIntPtr AudioEffectX::dispatcher(int opcode, int index, VstIntPtr value, void* ptr, float opt) {
    char* text = static_cast<char*>(ptr);
    switch (opcode) {
    case effProcessEvents: return processEvents(static_cast<VstEvents*>(ptr));
    case effCanBeAutomated:
        return (index >= 0 && index < numParams_ && canParameterBeAutomated(index)) ? 1 : 0;
    case effString2Parameter: return text && string2parameter(index, text) ? 1 : 0;
    case effGetProgramNameIndexed:
        return text && getProgramNameIndexed(static_cast<int>(value), index, text) ? 1 : 0;
    case effGetInputProperties:
        return ptr && getInputProperties(index, static_cast<VstPinProperties*>(ptr)) ? 1 : 0;
    case effGetOutputProperties:
        return ptr && getOutputProperties(index, static_cast<VstPinProperties*>(ptr)) ? 1 : 0;
    case effGetPlugCategory: return getPlugCategory();
    case effSetSpeakerArrangement:
        return setSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement*>(value),
                                     static_cast<VstSpeakerArrangement*>(ptr))
                   ? 1
                   : 0;
    case vst::kEffSetBypass: return setBypass(value != 0) ? 1 : 0;
    case effGetEffectName: return text && getEffectName(text) ? 1 : 0;
    case effGetVendorString: return text && getVendorString(text) ? 1 : 0;
    case effGetProductString: return text && getProductString(text) ? 1 : 0;
    case effGetVendorVersion: return getVendorVersion();
    case effVendorSpecific: return vendorSpecific(index, value, ptr, opt);
    case effCanDo: return text ? canDo(text) : 0;
    case vst::kEffGetTailSize: return getTailSize();
    case vst::kEffGetParameterProperties: return ptr && getParameterProperties(index, ptr) ? 1 : 0;
    case effGetVstVersion: return getVstVersion();
    case effStartProcess: return startProcess();
    case effStopProcess: return stopProcess();
    case effSetTotalSampleToProcess: return value;
    case effSetProcessPrecision: return setProcessPrecision(static_cast<int>(value)) ? 1 : 0;
    case vst::kEffGetNumMidiInputChannels: return getNumMidiInputChannels();
    case vst::kEffGetNumMidiOutputChannels: return getNumMidiOutputChannels();
    default: return AudioEffect::dispatcher(opcode, index, value, ptr, opt);
    }
}

int AudioEffectX::getPlugCategory() {
    return hasFlag(effFlagsIsSynth) ? kPlugCategSynth : kPlugCategUnknown;
}

VstTimeInfo* AudioEffectX::getTimeInfo(int filter) {
    return reinterpret_cast<VstTimeInfo*>(callHost(vst::kHostGetTime, 0, filter));
}

bool AudioEffectX::getHostVendorString(char* text) {
    text[0] = '\0';
    const bool ok = callHost(vst::kHostGetVendorString, 0, 0, text) != 0;
    text[255] = '\0';
    return ok;
}

bool AudioEffectX::getHostProductString(char* text) {
    text[0] = '\0';
    const bool ok = callHost(vst::kHostGetProductString, 0, 0, text) != 0;
    text[255] = '\0';
    return ok;
}

bool AudioEffectX::updateDisplay() { return callHost(vst::kHostUpdateDisplay) != 0; }

} // namespace kolva
