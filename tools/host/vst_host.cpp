#include "host/vst_host.h"

#include "core/vst/vst_abi.h"
#include "util/number_text.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <utility>

namespace kolva::host {

// fst.h declares some fields by guesswork; the host relies on these offsets of the 64-bit
// interface, so a changed header must not compile silently.
static_assert(sizeof(void*) != 8 ||
              (offsetof(AEffect, flags) == 56 && offsetof(AEffect, uniqueID) == 112 &&
               offsetof(AEffect, processReplacing) == 120));
static_assert(offsetof(VstTimeInfo, timeSigNumerator) == 64 && offsetof(VstTimeInfo, flags) == 84);
static_assert(offsetof(VstPinProperties, flags) == 64);

namespace {

using EntryPoint = AEffect* (*)(audioMasterCallback);

// The host callback carries no user pointer, so instances are found by their AEffect.
// While an entry point runs the AEffect is not known yet; callbacks from inside it go to
// the instance being constructed on that thread.
class Registry {
public:
    void add(AEffect* effect, PluginHost* host) {
        std::lock_guard lock(mutex_);
        entries_.emplace_back(effect, host);
    }
    void remove(AEffect* effect) {
        std::lock_guard lock(mutex_);
        std::erase_if(entries_, [&](const auto& e) { return e.first == effect; });
    }
    PluginHost* find(AEffect* effect) {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_)
            if (e.first == effect) return e.second;
        return nullptr;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<AEffect*, PluginHost*>> entries_;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

thread_local PluginHost* constructing = nullptr;

// Plug-ins write names into host buffers with loose length limits; these are generous.
constexpr std::size_t kTextBufferSize = 256;
// Host strings handed to the plug-in: the interface's 64-byte limit.
constexpr std::size_t kHostStringCapacity = 64;

constexpr int kMaxChannels = 256;

std::string hex32(std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s = "0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        s += kDigits[(value >> shift) & 0xF];
    return s;
}

bool hostCanDo(const char* what) {
    static constexpr const char* kYes[] = {"sendVstEvents", "sendVstMidiEvent", "sendVstTimeInfo",
                                           "receiveVstEvents", "receiveVstMidiEvent"};
    if (what == nullptr) return false;
    return std::any_of(std::begin(kYes), std::end(kYes),
                       [&](const char* s) { return std::strcmp(s, what) == 0; });
}

} // namespace

std::unique_ptr<PluginHost> PluginHost::load(const std::string& path, const HostIdentity& identity,
                                             std::string& error) {
    void* library = ::dlopen(path.c_str(), RTLD_LOCAL | RTLD_NOW);
    if (library == nullptr) {
        const char* why = ::dlerror();
        error = "cannot load plug-in: " + std::string(why != nullptr ? why : path);
        return nullptr;
    }
    auto entry = reinterpret_cast<EntryPoint>(::dlsym(library, "VSTPluginMain"));
    if (entry == nullptr) entry = reinterpret_cast<EntryPoint>(::dlsym(library, "main"));
    if (entry == nullptr) {
        ::dlclose(library);
        error = "plug-in " + path + " has no VSTPluginMain or main entry point";
        return nullptr;
    }

    std::unique_ptr<PluginHost> host(new PluginHost(path, library, identity));
    constructing = host.get();
    AEffect* effect = entry(&PluginHost::callback);
    constructing = nullptr;

    if (effect == nullptr) {
        error = "plug-in " + path + " did not create an instance (entry point returned null)";
        return nullptr;
    }
    if (effect->magic != vst::kEffectMagic) {
        // Not an AEffect we can trust with effClose; the library is unloaded as it is.
        error = "plug-in " + path + " returned a record with bad magic " +
                hex32(static_cast<std::uint32_t>(effect->magic)) + " (expected VstP)";
        return nullptr;
    }
    if (effect->dispatcher == nullptr || effect->numInputs < 0 || effect->numOutputs < 0 ||
        effect->numInputs > kMaxChannels || effect->numOutputs > kMaxChannels ||
        effect->numParams < 0) {
        // Left unclosed too: a record this broken cannot be trusted with effClose either.
        error = "plug-in " + path +
                " reports an unusable AEffect record (dispatcher, channel or parameter counts)";
        return nullptr;
    }
    host->effect_ = effect;
    registry().add(effect, host.get());
    return host;
}

PluginHost::PluginHost(std::string path, void* library, const HostIdentity& identity)
    : path_(std::move(path)), library_(library), identity_(identity),
      automation_(kAutomationCapacity) {
    setTransport(0, 0.0, 120.0);
}

PluginHost::~PluginHost() {
    if (effect_ != nullptr) {
        if (active_) setActive(false);
        dispatch(vst::kEffClose);
        registry().remove(effect_);
        effect_ = nullptr;
    }
    if (library_ != nullptr) ::dlclose(library_);
}

std::int32_t PluginHost::flags() const {
    // Only the low 32 bits are the field; the rest is padding the plug-in may leave unset.
    return static_cast<std::int32_t>(static_cast<std::uint64_t>(effect_->flags) & 0xFFFFFFFFu);
}

VstIntPtr PluginHost::dispatch(int opcode, int index, VstIntPtr value, void* ptr, float opt) {
    return effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
}

void PluginHost::open() {
    dispatch(vst::kEffOpen);
}

void PluginHost::setSampleRate(double rate) {
    sampleRate_ = rate;
    dispatch(vst::kEffSetSampleRate, 0, 0, nullptr, static_cast<float>(rate));
    setTransport(static_cast<std::int64_t>(timeInfo_.samplePos), timeInfo_.ppqPos, timeInfo_.tempo);
}

void PluginHost::setBlockSize(int frames) {
    blockSize_ = frames;
    dispatch(vst::kEffSetBlockSize, 0, frames);
}

void PluginHost::setActive(bool on) {
    dispatch(vst::kEffMainsChanged, 0, on ? 1 : 0);
    active_ = on;
}

VstIntPtr PluginHost::processEvents(VstEvents* events) {
    return dispatch(vst::kEffProcessEvents, 0, 0, events);
}

void PluginHost::processReplacing(float** inputs, float** outputs, int frames) {
    // Outputs are cleared by the caller, so the old accumulating call serves plug-ins
    // without processReplacing.
    if ((flags() & vst::kFlagCanReplacing) != 0 && effect_->processReplacing != nullptr)
        effect_->processReplacing(effect_, inputs, outputs, frames);
    else if (effect_->process != nullptr)
        effect_->process(effect_, inputs, outputs, frames);
}

float PluginHost::getParameter(int index) {
    return effect_->getParameter != nullptr ? effect_->getParameter(effect_, index) : 0.0f;
}

void PluginHost::setParameter(int index, float value) {
    if (effect_->setParameter != nullptr) effect_->setParameter(effect_, index, value);
}

std::string PluginHost::dispatchText(int opcode, int index) {
    char buffer[kTextBufferSize] = {};
    dispatch(opcode, index, 0, buffer);
    buffer[kTextBufferSize - 1] = '\0';
    return buffer;
}

std::string PluginHost::parameterName(int index) {
    return dispatchText(vst::kEffGetParamName, index);
}
std::string PluginHost::parameterDisplay(int index) {
    return dispatchText(vst::kEffGetParamDisplay, index);
}
std::string PluginHost::parameterLabel(int index) {
    return dispatchText(vst::kEffGetParamLabel, index);
}
std::string PluginHost::effectName() {
    return dispatchText(vst::kEffGetEffectName, 0);
}
std::string PluginHost::vendorString() {
    return dispatchText(vst::kEffGetVendorString, 0);
}
std::string PluginHost::productString() {
    return dispatchText(vst::kEffGetProductString, 0);
}

int PluginHost::vendorVersion() {
    return static_cast<int>(dispatch(vst::kEffGetVendorVersion));
}
int PluginHost::plugCategory() {
    return static_cast<int>(dispatch(vst::kEffGetPlugCategory));
}
int PluginHost::vstVersion() {
    return static_cast<int>(dispatch(vst::kEffGetVstVersion));
}
int PluginHost::numMidiInputChannels() {
    return static_cast<int>(dispatch(vst::kEffGetNumMidiInputChannels));
}
int PluginHost::numMidiOutputChannels() {
    return static_cast<int>(dispatch(vst::kEffGetNumMidiOutputChannels));
}

int PluginHost::canDo(const std::string& what) {
    std::string text = what; // the interface takes a non-const pointer
    return static_cast<int>(dispatch(vst::kEffCanDo, 0, 0, text.data()));
}

bool PluginHost::outputProperties(int index, PinInfo& info) {
    // fst.h's record lacks the 48 reserved bytes at the end; leave room for them.
    union {
        VstPinProperties props;
        char raw[kTextBufferSize];
    } buffer;
    std::memset(&buffer, 0, sizeof buffer);
    if (dispatch(vst::kEffGetOutputProperties, index, 0, &buffer) == 0) return false;
    buffer.props.label[sizeof buffer.props.label - 1] = '\0';
    char shortLabel[sizeof buffer.props.shortLabel + 1] = {};
    std::memcpy(shortLabel, buffer.props.shortLabel, sizeof buffer.props.shortLabel);
    info.label = buffer.props.label;
    info.shortLabel = shortLabel;
    info.flags = buffer.props.flags;
    info.arrangementType = buffer.props.arrangementType;
    return true;
}

void PluginHost::setTransport(std::int64_t samplePos, double ppqPos, double bpm) {
    timeInfo_.samplePos = static_cast<double>(samplePos);
    timeInfo_.sampleRate = sampleRate_;
    timeInfo_.ppqPos = ppqPos;
    timeInfo_.tempo = bpm;
    timeInfo_.barStartPos = std::floor(ppqPos / 4.0) * 4.0; // always 4/4
    timeInfo_.timeSigNumerator = 4;
    timeInfo_.timeSigDenominator = 4;
    timeInfo_.flags =
        kVstTransportPlaying | kVstPpqPosValid | kVstTempoValid | kVstBarsValid | kVstTimeSigValid;
}

VstIntPtr PluginHost::callback(AEffect* effect, int opcode, int index, VstIntPtr value, void* ptr,
                               float opt) {
    PluginHost* host = effect != nullptr ? registry().find(effect) : nullptr;
    if (host == nullptr) host = constructing;
    if (host != nullptr) return host->answer(opcode, index, value, ptr, opt);
    // A callback we cannot place (e.g. from a thread the plug-in started during creation).
    return opcode == vst::kHostVersion ? vst::kHostVstVersion : 0;
}

VstIntPtr PluginHost::answer(int opcode, int index, VstIntPtr /*value*/, void* ptr, float opt) {
    switch (opcode) {
    case vst::kHostVersion:
        return vst::kHostVstVersion;
    case vst::kHostAutomate:
        if (automationCount_ < automation_.size())
            automation_[automationCount_++] = {index, opt};
        else
            ++automationDropped_;
        return 0;
    case vst::kHostGetTime:
        return reinterpret_cast<VstIntPtr>(&timeInfo_);
    case vst::kHostGetSampleRate:
        return static_cast<VstIntPtr>(sampleRate_);
    case vst::kHostGetBlockSize:
        return blockSize_;
    case vst::kHostGetCurrentProcessLevel:
        return vst::kProcessLevelOffline;
    case vst::kHostGetVendorString:
        copyText(static_cast<char*>(ptr), kHostStringCapacity, identity_.vendor);
        return ptr != nullptr ? 1 : 0;
    case vst::kHostGetProductString:
        copyText(static_cast<char*>(ptr), kHostStringCapacity, identity_.product);
        return ptr != nullptr ? 1 : 0;
    case vst::kHostGetVendorVersion:
        return identity_.vendorVersion;
    case vst::kHostCanDo:
        return hostCanDo(static_cast<const char*>(ptr)) ? 1 : 0;
    case vst::kHostUpdateDisplay:
        return 1;
    default:
        return 0;
    }
}

} // namespace kolva::host
