#pragma once
// Kolva: the plug-in object a host talks to. It answers the host's VST 2.4 calls (through the
// AudioEffectX dispatch layer) and runs the block: editor records, host time, engine render,
// output copy, status. One object per instance, allocated whole by the entry point.

#include "core/plugin_base.h"
#include "core/transport_detector.h"
#include "core/vst/audio_effect.h"

namespace kolva {

class Kolva : public AudioEffectX, public PluginBase {
public:
    static constexpr VstInt32 kUniqueId = vst::fourCC('K', 'o', 'l', '2');
    static constexpr const char* kEffectName = "Kolva-1.5";
    static constexpr const char* kVendor = "Mornside";
    static constexpr const char* kVersionText = "1.5.21";

    explicit Kolva(audioMasterCallback audioMaster);
    ~Kolva() override;

    VstIntPtr dispatcher(int opcode, int index, VstIntPtr value, void* ptr, float opt) override;

    void suspend() override;
    void resume() override {}
    void setSampleRate(float rate) override;
    void setBlockSize(int frames) override;
    void processReplacing(float** inputs, float** outputs, int frames) override;
    void processAccumulating(float** inputs, float** outputs, int frames) override;
    void setParameter(int index, float value) override;
    float getParameter(int index) override;
    void setProgram(int program) override;
    void getProgramName(char* name) override;
    void getParameterLabel(int index, char* text) override;
    void getParameterDisplay(int index, char* text) override;
    void getParameterName(int index, char* text) override;
    int getChunk(void** data, bool isPreset) override;
    int setChunk(void* data, int byteSize, bool isPreset) override;
    bool getOutputProperties(int index, VstPinProperties* props) override;
    int getNumMidiInputChannels() override { return 1; }
    int processEvents(VstEvents* events) override;
    bool getEffectName(char* name) override;
    bool getVendorString(char* text) override;
    bool getProductString(char* text) override;
    int getVendorVersion() override;
    VstIntPtr vendorSpecific(int code, VstIntPtr value, void* ptr, float opt) override;
    int canDo(char* text) override;
    bool updateDisplay() override;
    void onStateRestored() override;

    virtual bool isFlStudioHost();
    // Host text conversion, the same for every parameter: value x 1000 without decimals.
    virtual void valueToText(int index, float value, char* text);
    virtual float textToValue(int index, const char* text);

    bool isAbletonHost() const { return isAbletonHost_; }
    const TransportStopDetector& transport() const { return transport_; }

private:
    void processBlock(float** outputs, int frames, bool accumulate);
    void decodeMidi(const unsigned char* data, int offset);

    TransportStopDetector transport_;
    bool isAbletonHost_ = false;
};

} // namespace kolva
