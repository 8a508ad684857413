#pragma once
// A scriptable VST 2.4 host for tests: answers the callback, keeps a transport with advancing
// song position, records automation, and drives one plug-in instance through its AEffect
// record exactly as a DAW does.

#include "core/vst/vst_abi.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kolva::test {

class FakeHost {
public:
    FakeHost();
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    static VstIntPtr callback(AEffect* effect, int opcode, int index, VstIntPtr value, void* ptr,
                              float opt);

    // What the host reports.
    std::string product = "Test Host";
    std::string vendor = "Test Vendor";
    bool answerVersion = true; // false: audioMasterVersion answers 0
    bool silent = false;       // true: every callback answers 0 / no time info
    bool playing = true;
    double tempo = 120.0;
    double sampleRate = 44100.0;
    VstTimeInfo time{};

    // What the plug-in told us.
    std::vector<std::pair<int, float>> automated;
    int updateDisplayCalls = 0;
    int timeInfoRequests = 0;

    // Moves the transport by `frames` when playing.
    void advance(int frames);

    static FakeHost* current();
};

// One instance created through the plug-in's entry, driven through its AEffect record.
class HostedPlugin {
public:
    explicit HostedPlugin(FakeHost& host);
    ~HostedPlugin();
    HostedPlugin(const HostedPlugin&) = delete;
    HostedPlugin& operator=(const HostedPlugin&) = delete;

    AEffect* effect() const { return effect_; }
    bool valid() const { return effect_ != nullptr; }
    VstIntPtr dispatch(int opcode, int index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f);
    // setSampleRate, setBlockSize, mainsChanged(1).
    void start(float sampleRate, int blockSize);

    struct Midi {
        int offset;
        std::array<unsigned char, 3> bytes;
    };
    // effProcessEvents with these MIDI events (returns the plug-in's answer).
    VstIntPtr sendMidi(const std::vector<Midi>& events);
    // processReplacing of `frames` into left()/right(), then the host's transport advances.
    void process(int frames);
    void setParameter(int index, float value) { effect_->setParameter(effect_, index, value); }
    float getParameter(int index) { return effect_->getParameter(effect_, index); }
    // Closes the instance now (effClose).
    void close();

    std::vector<float>& left() { return left_; }
    std::vector<float>& right() { return right_; }

private:
    FakeHost& host_;
    AEffect* effect_ = nullptr;
    std::vector<float> left_, right_;
    // The event block handed to the plug-in (room for 256 events, built once).
    std::vector<unsigned char> eventBlock_;
    std::vector<VstMidiEvent> midiEvents_;
};

} // namespace kolva::test
