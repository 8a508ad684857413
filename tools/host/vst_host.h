#pragma once
// A minimal VST 2.4 host for one plug-in instance: loads the shared library, creates the
// instance through its entry point and talks to it only through the binary interface
// (AEffect, dispatcher, process and parameter functions). It answers the plug-in's host
// callbacks as an offline renderer does: version 2400, a transport that is always
// playing, the configured product and vendor strings, and it records automation.
//
// Threads: one thread at a time loads, dispatches and renders, as an offline renderer
// does. Callbacks are found from any thread, but the state they touch (automation
// records, time info) is not synchronised: a plug-in calling back from a thread of its
// own while a block renders would race with it.

#include <fst.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kolva::host {

struct HostIdentity {
    std::string product = "kolva-render";
    std::string vendor = "Kolva";
    int vendorVersion = 1;
};

// One audioMasterAutomate call from the plug-in.
struct AutomationRecord {
    int index = 0;
    float value = 0.0f;
};

struct PinInfo {
    std::string label;
    std::string shortLabel;
    int flags = 0;
    int arrangementType = 0;
};

class PluginHost {
public:
    // Loads `path`, creates the instance and checks its AEffect record. On failure returns
    // nullptr and sets `error` to a one-line message.
    static std::unique_ptr<PluginHost> load(const std::string& path, const HostIdentity& identity,
                                            std::string& error);

    // Switches the instance off if it is on, closes it and unloads the library.
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    AEffect& effect() const { return *effect_; }
    // AEffect::flags as the 32-bit field it is (fst.h declares it pointer-sized).
    std::int32_t flags() const;
    const std::string& path() const { return path_; }

    VstIntPtr dispatch(int opcode, int index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f);

    void open();
    void setSampleRate(double rate);
    void setBlockSize(int frames);
    void setActive(bool on); // effMainsChanged
    bool active() const { return active_; }

    // Audio path: no allocation.
    VstIntPtr processEvents(VstEvents* events);
    void processReplacing(float** inputs, float** outputs, int frames);
    float getParameter(int index);
    void setParameter(int index, float value);

    std::string parameterName(int index);
    std::string parameterDisplay(int index);
    std::string parameterLabel(int index);
    std::string effectName();
    std::string vendorString();
    std::string productString();
    int vendorVersion();
    int plugCategory();
    int vstVersion();
    int numMidiInputChannels();
    int numMidiOutputChannels();
    int canDo(const std::string& what); // 1 yes, -1 no, 0 don't know
    bool outputProperties(int index, PinInfo& info);

    // The transport the host reports through audioMasterGetTime: always playing, 4/4.
    void setTransport(std::int64_t samplePos, double ppqPos, double bpm);
    const VstTimeInfo& timeInfo() const { return timeInfo_; }

    double sampleRate() const { return sampleRate_; }
    int blockSize() const { return blockSize_; }

    // Automation calls received so far, up to kAutomationCapacity; the rest are counted.
    static constexpr std::size_t kAutomationCapacity = 4096;
    std::span<const AutomationRecord> automation() const {
        return {automation_.data(), automationCount_};
    }
    std::size_t droppedAutomation() const { return automationDropped_; }

private:
    PluginHost(std::string path, void* library, const HostIdentity& identity);

    static VstIntPtr callback(AEffect* effect, int opcode, int index, VstIntPtr value, void* ptr,
                              float opt);
    VstIntPtr answer(int opcode, int index, VstIntPtr value, void* ptr, float opt);
    std::string dispatchText(int opcode, int index);

    std::string path_;
    void* library_ = nullptr;
    AEffect* effect_ = nullptr;
    HostIdentity identity_;
    bool active_ = false;
    double sampleRate_ = 44100.0;
    int blockSize_ = 512;
    VstTimeInfo timeInfo_{};
    std::vector<AutomationRecord> automation_;
    std::size_t automationCount_ = 0;
    std::size_t automationDropped_ = 0;
};

} // namespace kolva::host
