// A tiny VST 2.4 instrument whose outputs show what the host did: output 0 carries
// velocity/127 at each note-on's frame (-0.5 at each note-off) on top of parameter 1 as a
// constant; output 1 the song position the host reported for the block; output 2 the tempo.
// Its behaviour is picked by the host's product string, asked for during creation:
//   "null"     the entry point returns no instance
//   "badmagic" a record with a wrong magic number and no dispatcher
//   "mono"     one output only
//   "nan"      the first sample of every block on output 0 is NaN
//   "as-kolva" Kolva's unique ID and parameter count, with empty parameter names
//   "nochunk"  no programChunks flag
//   "nostate"  effGetChunk hands back nothing
// Its state chunk is its parameter values (32-bit floats) followed by whatever bytes beyond
// them the last effSetChunk brought; a shorter chunk is kept whole without touching the
// parameters.
// It echoes the host's product string and reports the host version seen during creation
// as its vendor version; effVendorSpecific(opcode) relays a callback to the host.

#include "core/vst/vst_abi.h"

#include <fst.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

using namespace kolva;

namespace {

struct Fake {
    AEffect effect{};
    audioMasterCallback master = nullptr;
    std::string hostProduct;
    VstIntPtr versionAtCreation = 0;
    bool nan = false;
    bool kolva = false;
    bool noState = false;
    std::vector<float> params;
    std::vector<unsigned char> extra;           // chunk bytes beyond the parameters
    std::vector<unsigned char> chunk;           // what effGetChunk handed out last
    std::vector<std::pair<int, float>> pending; // frame in the block, value
};

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
        // A malformed event is dropped, so its impulse goes missing from the output.
        if (e->type != vst::kMidiEventType || e->byteSize != static_cast<int>(sizeof(VstMidiEvent)))
            continue;
        const auto* m = reinterpret_cast<const VstMidiEvent*>(e);
        int kind = m->midiData[0] & 0xF0;
        if (kind == 0x90 && m->midiData[2] > 0)
            f->pending.push_back({m->deltaFrames, m->midiData[2] / 127.0f});
        else if (kind == 0x80 || kind == 0x90)
            f->pending.push_back({m->deltaFrames, -0.5f});
        else if (kind == 0xB0)
            ask(f, vst::kHostAutomate, m->midiData[1], 0, nullptr, m->midiData[2] / 127.0f);
    }
}

VstIntPtr getChunk(Fake* f, void** data) {
    if (f->noState || data == nullptr) return 0;
    const std::size_t paramBytes = f->params.size() * sizeof(float);
    f->chunk.resize(paramBytes + f->extra.size());
    std::memcpy(f->chunk.data(), f->params.data(), paramBytes);
    std::copy(f->extra.begin(), f->extra.end(), f->chunk.begin() + static_cast<long>(paramBytes));
    *data = f->chunk.data();
    return static_cast<VstIntPtr>(f->chunk.size());
}

VstIntPtr setChunk(Fake* f, const void* data, VstIntPtr size) {
    if (data == nullptr || size <= 0) return 0;
    const auto* bytes = static_cast<const unsigned char*>(data);
    const std::size_t paramBytes = f->params.size() * sizeof(float);
    const auto n = static_cast<std::size_t>(size);
    if (n < paramBytes) {
        f->extra.assign(bytes, bytes + n);
    } else {
        std::memcpy(f->params.data(), bytes, paramBytes);
        f->extra.assign(bytes + paramBytes, bytes + n);
    }
    return size;
}

VstIntPtr dispatcher(AEffect* e, int opcode, int index, VstIntPtr value, void* ptr, float opt) {
    auto* f = static_cast<Fake*>(e->object);
    switch (opcode) {
    case vst::kEffClose:
        delete f;
        return 1;
    case vst::kEffGetParamName:
        copyOut(ptr, f->kolva || index > 1 ? "" : index == 0 ? "alpha" : "level");
        return 0;
    case vst::kEffProcessEvents:
        handleEvents(f, static_cast<const VstEvents*>(ptr));
        return 1;
    case vst::kEffGetProductString:
        copyOut(ptr, f->hostProduct);
        return 1;
    case vst::kEffGetChunk:
        return getChunk(f, static_cast<void**>(ptr));
    case vst::kEffSetChunk:
        return setChunk(f, ptr, value);
    case vst::kEffGetVendorVersion:
        return f->versionAtCreation;
    case vst::kEffVendorSpecific:
        return ask(f, index, 0, value, ptr, opt);
    default:
        return 0;
    }
}

void processReplacing(AEffect* e, float** /*inputs*/, float** outputs, int frames) {
    auto* f = static_cast<Fake*>(e->object);
    auto* time = reinterpret_cast<const VstTimeInfo*>(ask(f, vst::kHostGetTime));
    for (int i = 0; i < frames; ++i)
        outputs[0][i] = f->params[1];
    for (const auto& ev : f->pending)
        if (ev.first >= 0 && ev.first < frames) outputs[0][ev.first] += ev.second;
    f->pending.clear();
    if (f->nan) outputs[0][0] = std::numeric_limits<float>::quiet_NaN();
    for (int c = 1; c < e->numOutputs; ++c) {
        auto v = static_cast<float>(c == 1 ? time->ppqPos : time->tempo);
        for (int i = 0; i < frames; ++i)
            outputs[c][i] = v;
    }
}

void setParameter(AEffect* e, int index, float value) {
    auto* f = static_cast<Fake*>(e->object);
    if (index >= 0 && index < static_cast<int>(f->params.size())) f->params[index] = value;
}

float getParameter(AEffect* e, int index) {
    auto* f = static_cast<Fake*>(e->object);
    return index >= 0 && index < static_cast<int>(f->params.size()) ? f->params[index] : 0.0f;
}

[[maybe_unused]] AEffect* create(audioMasterCallback master) {
    // Like real plug-ins, ask the host about itself before the record is handed over, into
    // a buffer of the interface's size so that an overlong answer shows under ASan.
    char text[64] = {};
    master(nullptr, vst::kHostGetProductString, 0, 0, text, 0.0f);
    const std::string product = text;
    if (product.find("null") != std::string::npos) return nullptr;
    if (product.find("badmagic") != std::string::npos) {
        static AEffect broken{}; // nothing to free: the host must not close it
        return &broken;
    }

    auto* f = new Fake;
    f->master = master;
    f->effect.object = f;
    f->hostProduct = product;
    f->versionAtCreation = master(nullptr, vst::kHostVersion, 0, 0, nullptr, 0.0f);
    f->nan = product.find("nan") != std::string::npos;
    f->kolva = product.find("as-kolva") != std::string::npos;
    f->noState = product.find("nostate") != std::string::npos;

    AEffect& e = f->effect;
    e.magic = vst::kEffectMagic;
    e.dispatcher = &dispatcher;
    e.setParameter = &setParameter;
    e.getParameter = &getParameter;
    e.processReplacing = &processReplacing;
    e.numOutputs = product.find("mono") != std::string::npos ? 1 : 3;
    e.numParams = f->kolva ? 725 : 2;
    e.flags = vst::kFlagCanReplacing | vst::kFlagIsSynth;
    if (product.find("nochunk") == std::string::npos) e.flags |= vst::kFlagProgramChunks;
    e.uniqueID = f->kolva ? vst::fourCC('K', 'o', 'l', '2') : vst::fourCC('F', 'a', 'k', 'e');
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
#endif
