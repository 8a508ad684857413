// libFuzzer target for the plug-in's host boundary: the input is read as a script of host
// calls (MIDI event lists, blocks of any length, raw parameter values including NaN,
// dispatcher opcodes with odd arguments, editor records, MIDI learn, host time info that
// may be garbage). Nothing may crash, touch memory it does not own, or write a non-finite
// sample.

#include "core/kolva.h"
#include "core/plugin_entry.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

struct Reader {
    const std::uint8_t* p;
    std::size_t n;
    bool more() const { return n > 0; }
    std::uint8_t u8() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() { return u16() | (static_cast<std::uint32_t>(u16()) << 16); }
    float f32() {
        std::uint32_t bits = u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    double f64() {
        std::uint64_t bits = u32() | (static_cast<std::uint64_t>(u32()) << 32);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
};

VstTimeInfo gTime{};
bool gTimeValid = true;

VstIntPtr hostCallback(AEffect*, int opcode, int, VstIntPtr, void* ptr, float) {
    switch (opcode) {
    case kolva::vst::kHostVersion: return 2400;
    case kolva::vst::kHostGetTime: return gTimeValid ? reinterpret_cast<VstIntPtr>(&gTime) : 0;
    case kolva::vst::kHostGetProductString:
        if (ptr) std::strcpy(static_cast<char*>(ptr), "Cakewalk fuzz");
        return 1;
    default: return 0;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Keep the MIDI learn file away from the user's configuration.
    auto home = std::filesystem::temp_directory_path() / "kolva-fuzz-home";
    std::filesystem::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    gTime = VstTimeInfo{};
    gTime.tempo = 120.0;
    gTime.sampleRate = 44100.0;
    gTimeValid = true;

    AEffect* e = kolva::createPluginInstance(&hostCallback);
    if (e == nullptr) std::abort();
    auto* plugin = dynamic_cast<kolva::Kolva*>(kolva::AudioEffect::fromAeffect(e));
    e->dispatcher(e, effOpen, 0, 0, nullptr, 0.0f);
    e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, 44100.0f);
    e->dispatcher(e, effSetBlockSize, 0, 256, nullptr, 0.0f);
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);

    std::vector<float> left(9000), right(9000);
    float* outs[2] = {left.data(), right.data()};
    std::vector<unsigned char> block(sizeof(VstEvents) + 16 * sizeof(VstEvent*));
    VstMidiEvent midi[16];

    for (int step = 0; step < 64 && in.more(); ++step) {
        switch (in.u8() % 8) {
        case 0: { // an event list
            auto* evs = reinterpret_cast<VstEvents*>(block.data());
            const int count = in.u8() % 17;
            evs->numEvents = count;
            for (int i = 0; i < count; ++i) {
                std::memset(&midi[i], 0, sizeof midi[i]);
                midi[i].type = (in.u8() % 8) == 0 ? kVstSysExType : kVstMidiType;
                midi[i].deltaFrames = static_cast<std::int16_t>(in.u16());
                midi[i].midiData[0] = in.u8();
                midi[i].midiData[1] = in.u8();
                midi[i].midiData[2] = in.u8();
                evs->events[i] = (in.u8() % 16) == 0 ? nullptr : reinterpret_cast<VstEvent*>(&midi[i]);
            }
            e->dispatcher(e, effProcessEvents, 0, 0, evs, 0.0f);
            break;
        }
        case 1: { // a block
            const int frames = in.u16() % 9000;
            e->processReplacing(e, nullptr, outs, frames);
            for (int i = 0; i < frames; ++i)
                if (!std::isfinite(left[i]) || !std::isfinite(right[i])) std::abort();
            break;
        }
        case 2: { // automation with any float
            const int index = static_cast<int>(in.u16() % 760) - 10;
            e->setParameter(e, index, in.f32());
            const float back = e->getParameter(e, index);
            if (index >= 0 && index < 725 && !std::isfinite(back)) std::abort();
            break;
        }
        case 3: { // host settings
            switch (in.u8() % 4) {
            case 0: e->dispatcher(e, effSetBlockSize, 0, static_cast<VstIntPtr>(static_cast<std::int32_t>(in.u32())), nullptr, 0.0f); break;
            case 1: e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, in.f32()); break;
            case 2: e->dispatcher(e, effMainsChanged, 0, in.u8() & 1, nullptr, 0.0f); break;
            default: e->dispatcher(e, effSetBlockSize, 0, in.u16() % 9000, nullptr, 0.0f); break;
            }
            break;
        }
        case 4: { // text-carrying opcodes with a bounded, terminated buffer
            char text[256] = {};
            const int len = in.u8() % 64;
            for (int i = 0; i < len; ++i) text[i] = static_cast<char>(in.u8());
            const int ops[] = {effCanDo, effGetParamDisplay, effGetParamName, effGetProgramName,
                               effGetEffectName, effString2Parameter, effVendorSpecific,
                               effGetOutputProperties, effSetChunk, effGetChunk};
            const int op = ops[in.u8() % (sizeof ops / sizeof ops[0])];
            const VstIntPtr value = op == effSetChunk ? len : static_cast<VstIntPtr>(in.u32());
            const int index = op == effVendorSpecific
                                  ? static_cast<int>(0x73533256 + (in.u8() % 2) * (0x73563253 - 0x73533256))
                                  : static_cast<int>(in.u16());
            void* ptr = op == effGetChunk ? static_cast<void*>(&outs[0]) : static_cast<void*>(text);
            e->dispatcher(e, op, index, value, ptr, 0.0f);
            break;
        }
        case 5: // editor records of any kind
            plugin->postToEngine(static_cast<std::int32_t>(249 + in.u8() % 8), in.u16() % 800, in.f64());
            break;
        case 6: // MIDI learn towards anything
            plugin->midiLearn().arm(static_cast<int>(in.u16() % 760) - 15);
            break;
        default: // the host's clock, possibly garbage
            gTimeValid = (in.u8() % 4) != 0;
            gTime.ppqPos = in.f64();
            gTime.tempo = in.f64();
            break;
        }
    }
    e->dispatcher(e, effMainsChanged, 0, 0, nullptr, 0.0f);
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
    return 0;
}
