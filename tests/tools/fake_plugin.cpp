// A tiny VST 2.4 instrument for testing the host. Its outputs make what the host did
// visible: output 0 carries an impulse of velocity/127 at each note-on's frame offset
// (and -0.5 at each note-off), plus the value of parameter 1 as a constant; output 1
// carries the song position (ppqPos) the host reported for the block; output 2 the tempo.
// Its behaviour is picked by the host's product string, which it asks for while it is
// being created:
//   "null"     the entry point returns no instance
//   "badmagic" the record has a wrong magic number
//   "mono"     one output only
//   "nan"      the first sample of every block on output 0 is NaN
//   "as-kolva" Kolva's unique ID and parameter count, with empty parameter names
// effVendorSpecific(index) reports host answers, see fake_plugin_queries.h.

#include "fake_plugin_queries.h"
#include "core/vst/vst_abi.h"
#include "util/number_text.h"

#include <fst.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace kolva;
using namespace kolva::test;

namespace {

constexpr int kMaxPending = 1024;
constexpr int kKolvaParameterCount = 725;

struct Fake {
    AEffect effect{};
    audioMasterCallback master = nullptr;
    std::string hostProduct;
    std::string hostVendor;
    VstIntPtr versionAtCreation = 0;
    bool nan = false;
    bool kolva = false;
    std::vector<float> params;
    struct Pending {
        int frame;
        float value;
    };
    Pending pending[kMaxPending];
    int pendingCount = 0;
    long eventsSeen = 0;
    long badEvents = 0;
};

Fake* self(AEffect* e) {
    return static_cast<Fake*>(e->object);
}

VstIntPtr ask(Fake* f, int opcode, int index = 0, VstIntPtr value = 0, void* ptr = nullptr,
              float opt = 0.0f) {
    return f->master(&f->effect, opcode, index, value, ptr, opt);
}

void copyOut(void* ptr, const std::string& text) {
    std::strncpy(static_cast<char*>(ptr), text.c_str(), 63);
    static_cast<char*>(ptr)[63] = '\0';
}

void handleEvents(Fake* f, const VstEvents* events) {
    for (int i = 0; i < events->numEvents; ++i) {
        const VstEvent* e = events->events[i];
        ++f->eventsSeen;
        if (e->type != vst::kMidiEventType ||
            e->byteSize != static_cast<int>(sizeof(VstMidiEvent))) {
            ++f->badEvents;
            continue;
        }
        const auto* m = reinterpret_cast<const VstMidiEvent*>(e);
        int kind = m->midiData[0] & 0xF0;
        float value = 0.0f;
        if (kind == 0x90 && m->midiData[2] > 0)
            value = m->midiData[2] / 127.0f;
        else if (kind == 0x80 || kind == 0x90)
            value = -0.5f;
        else if (kind == 0xB0)
            ask(f, vst::kHostAutomate, m->midiData[1], 0, nullptr, m->midiData[2] / 127.0f);
        if (value != 0.0f && f->pendingCount < kMaxPending)
            f->pending[f->pendingCount++] = {m->deltaFrames, value};
    }
}

VstIntPtr dispatcher(AEffect* e, int opcode, int index, VstIntPtr value, void* ptr, float opt) {
    Fake* f = self(e);
    switch (opcode) {
    case vst::kEffClose:
        delete f;
        return 1;
    case vst::kEffGetParamName:
        copyOut(ptr, f->kolva ? "" : (index == 0 ? "alpha" : index == 1 ? "level" : ""));
        return 0;
    case vst::kEffGetParamDisplay:
        copyOut(ptr, index >= 0 && index < static_cast<int>(f->params.size())
                         ? formatInt(static_cast<int>(f->params[index] * 100))
                         : "");
        return 0;
    case vst::kEffGetParamLabel:
        copyOut(ptr, "%");
        return 0;
    case vst::kEffProcessEvents:
        handleEvents(f, static_cast<const VstEvents*>(ptr));
        return 1;
    case vst::kEffGetEffectName:
        copyOut(ptr, "FakeSynth");
        return 1;
    case vst::kEffGetVendorString:
        copyOut(ptr, "echo:" + f->hostVendor); // what the host said while creating us
        return 1;
    case vst::kEffGetProductString:
        copyOut(ptr, "echo:" + f->hostProduct);
        return 1;
    case vst::kEffGetVendorVersion:
        return 7;
    case vst::kEffGetPlugCategory:
        return 2;
    case vst::kEffGetVstVersion:
        return 2400;
    case vst::kEffGetNumMidiInputChannels:
        return 16;
    case vst::kEffCanDo:
        return std::strcmp(static_cast<const char*>(ptr), "receiveVstEvents") == 0 ? 1 : -1;
    case vst::kEffGetOutputProperties: {
        if (index >= e->numOutputs) return 0;
        auto* pin = static_cast<VstPinProperties*>(ptr);
        copyOut(pin->label, "Fake" + formatInt(index + 1));
        pin->flags = vst::kPinIsActive;
        return 1;
    }
    case vst::kEffVendorSpecific:
        switch (index) {
        case kQueryVersionAtCreation:
            return f->versionAtCreation;
        case kQueryProcessLevel:
            return ask(f, vst::kHostGetCurrentProcessLevel);
        case kQueryCanDoTimeInfo:
            return ask(f, vst::kHostCanDo, 0, 0, const_cast<char*>("sendVstTimeInfo"));
        case kQueryCanDoUnknown:
            return ask(f, vst::kHostCanDo, 0, 0, const_cast<char*>("juggle"));
        case kQuerySampleRate:
            return ask(f, vst::kHostGetSampleRate);
        case kQueryBlockSize:
            return ask(f, vst::kHostGetBlockSize);
        case kQueryUpdateDisplay:
            return ask(f, vst::kHostUpdateDisplay);
        case kQueryVendorVersion:
            return ask(f, vst::kHostGetVendorVersion);
        case kQueryEventsSeen:
            return f->eventsSeen;
        case kQueryBadEvents:
            return f->badEvents;
        case kQueryProductLength:
            return static_cast<VstIntPtr>(f->hostProduct.size());
        default:
            return 0;
        }
    default:
        (void)value;
        (void)opt;
        return 0;
    }
}

void processReplacing(AEffect* e, float** /*inputs*/, float** outputs, int frames) {
    Fake* f = self(e);
    auto* time = reinterpret_cast<const VstTimeInfo*>(ask(f, vst::kHostGetTime));
    float level = f->params.size() > 1 ? f->params[1] : 0.0f;
    for (int i = 0; i < frames; ++i)
        outputs[0][i] = level;
    for (int p = 0; p < f->pendingCount; ++p) {
        const auto& ev = f->pending[p];
        if (ev.frame >= 0 && ev.frame < frames) outputs[0][ev.frame] += ev.value;
    }
    f->pendingCount = 0;
    if (f->nan) outputs[0][0] = std::numeric_limits<float>::quiet_NaN();
    for (int c = 1; c < e->numOutputs; ++c) {
        float v = time == nullptr ? -1.0f : static_cast<float>(c == 1 ? time->ppqPos : time->tempo);
        for (int i = 0; i < frames; ++i)
            outputs[c][i] = v;
    }
}

void setParameter(AEffect* e, int index, float value) {
    Fake* f = self(e);
    if (index >= 0 && index < static_cast<int>(f->params.size())) f->params[index] = value;
}

float getParameter(AEffect* e, int index) {
    Fake* f = self(e);
    return index >= 0 && index < static_cast<int>(f->params.size()) ? f->params[index] : 0.0f;
}

[[maybe_unused]] AEffect* create(audioMasterCallback master) {
    auto* f = new Fake;
    f->master = master;
    f->effect.object = f;
    // Like real plug-ins, ask the host about itself before the record is handed over.
    f->versionAtCreation = master(nullptr, vst::kHostVersion, 0, 0, nullptr, 0.0f);
    char text[256] = {};
    ask(f, vst::kHostGetProductString, 0, 0, text);
    f->hostProduct = text;
    std::memset(text, 0, sizeof text);
    ask(f, vst::kHostGetVendorString, 0, 0, text);
    f->hostVendor = text;
    if (f->hostProduct.find("null") != std::string::npos) {
        delete f;
        return nullptr;
    }
    f->nan = f->hostProduct.find("nan") != std::string::npos;
    f->kolva = f->hostProduct.find("as-kolva") != std::string::npos;

    AEffect& e = f->effect;
    e.magic = f->hostProduct.find("badmagic") != std::string::npos ? 0 : vst::kEffectMagic;
    e.dispatcher = &dispatcher;
    e.setParameter = &setParameter;
    e.getParameter = &getParameter;
    e.processReplacing = &processReplacing;
    e.numInputs = 0;
    e.numOutputs = f->hostProduct.find("mono") != std::string::npos ? 1 : 3;
    e.numParams = f->kolva ? kKolvaParameterCount : 2;
    e.flags = vst::kFlagCanReplacing | vst::kFlagIsSynth;
    e.uniqueID =
        f->kolva ? vst::fourCC('K', 'o', 'l', '2') : vst::fourCC('F', 'a', 'k', 'e');
    e.version = 3;
    f->params.assign(static_cast<std::size_t>(e.numParams), 0.0f);
    return &e;
}

} // namespace

#if defined(FAKE_ENTRY_MAIN_ONLY)
// Older plug-ins export the entry point only under the name "main".
extern "C" __attribute__((visibility("default"))) AEffect*
fakeMainEntry(audioMasterCallback master) __asm__("main");
extern "C" AEffect* fakeMainEntry(audioMasterCallback master) {
    return create(master);
}
#elif !defined(FAKE_NO_ENTRY)
extern "C" __attribute__((visibility("default"))) AEffect*
VSTPluginMain(audioMasterCallback master) {
    return create(master);
}
#else
extern "C" __attribute__((visibility("default"))) int fakeNotAPlugin() {
    return 0;
}
#endif
