#pragma once
// The plug-in side of the VST 2.4 interface as an object model: AudioEffect turns the host's
// opcodes into virtual calls (1.x opcodes), AudioEffectX adds the 2.x opcodes, AEffEditor is
// the base of an editor attached to the effect. Default virtuals answer as a plug-in that does
// not implement the feature. Every entry from the host is wrapped so that no exception ever
// crosses into the host.
//
// Threads: dispatcher calls come on the host's main thread (processEvents on the audio
// thread); processReplacing on the audio thread; setParameter/getParameter on any thread.

#include "core/vst/vst_abi.h"

namespace kolva {

class AudioEffect;

class AEffEditor {
public:
    explicit AEffEditor(AudioEffect* effect) : effect_(effect) {}
    virtual ~AEffEditor() = default;
    virtual bool getRect(ERect** rect) {
        if (rect) *rect = nullptr;
        return false;
    }
    virtual bool open(void* parentWindow) {
        systemWindow_ = parentWindow;
        return false;
    }
    virtual void close() { systemWindow_ = nullptr; }
    virtual void idle() {}
    virtual bool isOpen() const { return systemWindow_ != nullptr; }
    AudioEffect* effect() const { return effect_; }

protected:
    AudioEffect* effect_;
    void* systemWindow_ = nullptr;
};

class AudioEffect {
public:
    AudioEffect(audioMasterCallback audioMaster, int numPrograms, int numParams);
    virtual ~AudioEffect();
    AudioEffect(const AudioEffect&) = delete;
    AudioEffect& operator=(const AudioEffect&) = delete;

    AEffect* getAeffect() { return &record_.effect; }
    static AudioEffect* fromAeffect(AEffect* e);

    virtual VstIntPtr dispatcher(int opcode, int index, VstIntPtr value, void* ptr, float opt);

    virtual void open() {}
    virtual void close() {}
    virtual void suspend() {}
    virtual void resume() {}
    virtual void setSampleRate(float rate) { sampleRate_ = rate; }
    virtual void setBlockSize(int frames) { blockSize_ = frames; }
    virtual void processReplacing(float** inputs, float** outputs, int frames) = 0;
    // The old accumulating process call: adds into the outputs. Default: nothing.
    virtual void processAccumulating(float** inputs, float** outputs, int frames);
    virtual void setParameter(int /*index*/, float /*value*/) {}
    virtual float getParameter(int /*index*/) { return 0.0f; }
    // Sets the parameter and tells the host (automation recording).
    virtual void setParameterAutomated(int index, float value);
    virtual int getProgram() { return curProgram_; }
    virtual void setProgram(int program) { curProgram_ = program; }
    virtual void setProgramName(char* /*name*/) {}
    virtual void getProgramName(char* name) { name[0] = '\0'; }
    virtual void getParameterLabel(int /*index*/, char* text) { text[0] = '\0'; }
    virtual void getParameterDisplay(int /*index*/, char* text) { text[0] = '\0'; }
    virtual void getParameterName(int /*index*/, char* text) { text[0] = '\0'; }
    virtual int getChunk(void** data, bool /*isPreset*/) {
        *data = nullptr;
        return 0;
    }
    virtual int setChunk(void* /*data*/, int /*byteSize*/, bool /*isPreset*/) { return 0; }

    // Host queries.
    VstIntPtr callHost(int opcode, int index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f);
    int getMasterVersion();

    void setEditor(AEffEditor* editor);
    AEffEditor* getEditor() const { return editor_; }
    float sampleRate() const { return sampleRate_; }
    int blockSize() const { return blockSize_; }
    int numParams() const { return numParams_; }

    // AEffect fields and flags.
    void setUniqueID(VstInt32 id) { record_.effect.uniqueID = id; }
    void setNumInputs(int n) { record_.effect.numInputs = n; }
    void setNumOutputs(int n) { record_.effect.numOutputs = n; }
    void setFlag(int flag, bool on);
    bool hasFlag(int flag) const { return (record_.effect.flags & flag) != 0; }

protected:
    audioMasterCallback audioMaster_;
    AEffEditor* editor_ = nullptr;
    float sampleRate_ = 44100.0f;
    int blockSize_ = 1024;
    int numPrograms_;
    int numParams_;
    int curProgram_ = 0;

private:
    vst::AEffectRecord record_{};
};

class AudioEffectX : public AudioEffect {
public:
    using AudioEffect::AudioEffect;

    VstIntPtr dispatcher(int opcode, int index, VstIntPtr value, void* ptr, float opt) override;

    virtual int processEvents(VstEvents* /*events*/) { return 0; }
    virtual bool canParameterBeAutomated(int /*index*/) { return true; }
    virtual bool string2parameter(int /*index*/, char* /*text*/) { return false; }
    virtual bool getProgramNameIndexed(int /*category*/, int /*index*/, char* /*text*/) {
        return false;
    }
    virtual bool getInputProperties(int /*index*/, VstPinProperties* /*props*/) { return false; }
    virtual bool getOutputProperties(int /*index*/, VstPinProperties* /*props*/) { return false; }
    virtual int getPlugCategory();
    virtual bool setSpeakerArrangement(VstSpeakerArrangement*, VstSpeakerArrangement*) {
        return false;
    }
    virtual bool setBypass(bool /*on*/) { return false; }
    virtual bool getEffectName(char* /*name*/) { return false; }
    virtual bool getVendorString(char* /*text*/) { return false; }
    virtual bool getProductString(char* /*text*/) { return false; }
    virtual int getVendorVersion() { return 0; }
    virtual VstIntPtr vendorSpecific(int /*code*/, VstIntPtr /*value*/, void* /*ptr*/,
                                     float /*opt*/) {
        return 0;
    }
    virtual int canDo(char* /*text*/) { return 0; }
    virtual int getTailSize() { return 0; }
    virtual bool getParameterProperties(int /*index*/, void* /*props*/) { return false; }
    virtual int getVstVersion() { return kVstVersion; }
    virtual int getNumMidiInputChannels() { return 0; }
    virtual int getNumMidiOutputChannels() { return 0; }
    virtual int startProcess() { return 0; }
    virtual int stopProcess() { return 0; }
    virtual bool setProcessPrecision(int precision) { return precision == kVstProcessPrecision32; }

    // Host helpers.
    VstTimeInfo* getTimeInfo(int filter);
    bool getHostVendorString(char* text);   // text: 256 bytes
    bool getHostProductString(char* text);  // text: 256 bytes
    virtual bool updateDisplay();
};

} // namespace kolva
