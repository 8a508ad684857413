#include "support/fake_host.h"

#include "core/plugin_entry.h"
#include "support/alloc_guard.h"

#include <cstring>
#include <stdexcept>

namespace kolva::test {
namespace {

FakeHost* gCurrent = nullptr;

void copyString(void* ptr, const std::string& s) {
    if (ptr == nullptr) return;
    std::size_t n = s.size() < 63 ? s.size() : 63;
    std::memcpy(ptr, s.data(), n);
    static_cast<char*>(ptr)[n] = '\0';
}

} // namespace

FakeHost::FakeHost() {
    gCurrent = this;
    time.sampleRate = sampleRate;
    time.tempo = tempo;
    time.timeSigNumerator = 4;
    time.timeSigDenominator = 4;
}

FakeHost::~FakeHost() {
    if (gCurrent == this) gCurrent = nullptr;
}

FakeHost* FakeHost::current() { return gCurrent; }

void FakeHost::advance(int frames) {
    if (!playing) return;
    time.samplePos += frames;
    time.ppqPos += frames / sampleRate * tempo / 60.0;
}

VstIntPtr FakeHost::callback(AEffect*, int opcode, int index, VstIntPtr, void* ptr, float opt) {
    AllocationGuardPause hostSide;
    FakeHost* h = gCurrent;
    if (h == nullptr) return 0;
    if (opcode == vst::kHostVersion) return h->answerVersion ? kVstVersion : 0;
    if (h->silent) return 0;
    switch (opcode) {
    case vst::kHostAutomate: h->automated.emplace_back(index, opt); return 0;
    case vst::kHostGetTime:
        ++h->timeInfoRequests;
        h->time.tempo = h->tempo;
        h->time.sampleRate = h->sampleRate;
        h->time.flags = kVstPpqPosValid | kVstTempoValid | kVstTimeSigValid |
                        (h->playing ? kVstTransportPlaying : 0);
        return reinterpret_cast<VstIntPtr>(&h->time);
    case vst::kHostGetSampleRate: return static_cast<VstIntPtr>(h->sampleRate);
    case vst::kHostGetBlockSize: return 512;
    case vst::kHostGetProductString: copyString(ptr, h->product); return 1;
    case vst::kHostGetVendorString: copyString(ptr, h->vendor); return 1;
    case vst::kHostUpdateDisplay: ++h->updateDisplayCalls; return 1;
    default: return 0;
    }
}

HostedPlugin::HostedPlugin(FakeHost& host) : host_(host) {
    effect_ = createPluginInstance(&FakeHost::callback);
    eventBlock_.resize(sizeof(VstEvents) + 256 * sizeof(VstEvent*));
    left_.resize(16384);
    right_.resize(16384);
    midiEvents_.resize(256);
}

HostedPlugin::~HostedPlugin() { close(); }

void HostedPlugin::close() {
    if (effect_ != nullptr) effect_->dispatcher(effect_, effClose, 0, 0, nullptr, 0.0f);
    effect_ = nullptr;
}

VstIntPtr HostedPlugin::dispatch(int opcode, int index, VstIntPtr value, void* ptr, float opt) {
    return effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
}

void HostedPlugin::start(float sampleRate, int blockSize) {
    host_.sampleRate = sampleRate;
    dispatch(effSetSampleRate, 0, 0, nullptr, sampleRate);
    dispatch(effSetBlockSize, 0, blockSize);
    dispatch(effMainsChanged, 0, 1);
}

VstIntPtr HostedPlugin::sendMidi(const std::vector<Midi>& events) {
    if (events.size() > midiEvents_.size()) throw std::length_error("too many events");
    auto* block = reinterpret_cast<VstEvents*>(eventBlock_.data());
    block->numEvents = static_cast<int>(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        VstMidiEvent& m = midiEvents_[i];
        std::memset(&m, 0, sizeof m);
        m.type = kVstMidiType;
        m.byteSize = sizeof(VstMidiEvent);
        m.deltaFrames = events[i].offset;
        m.midiData[0] = events[i].bytes[0];
        m.midiData[1] = events[i].bytes[1];
        m.midiData[2] = events[i].bytes[2];
        block->events[i] = reinterpret_cast<VstEvent*>(&m);
    }
    return dispatch(effProcessEvents, 0, 0, block);
}

void HostedPlugin::process(int frames) {
    if (static_cast<int>(left_.size()) < frames) {
        left_.resize(static_cast<std::size_t>(frames));
        right_.resize(static_cast<std::size_t>(frames));
    }
    float* outs[2] = {left_.data(), right_.data()};
    effect_->processReplacing(effect_, nullptr, outs, frames);
    host_.advance(frames);
}

} // namespace kolva::test
