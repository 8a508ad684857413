#include "render/plugin_info.h"

#include "core/parameter_defs.h"
#include "core/vst/vst_abi.h"
#include "render/param_assign.h"
#include "util/number_text.h"

#include <array>
#include <utility>

namespace kolva::render {

namespace {

std::string flagNames(std::int32_t flags) {
    static constexpr std::pair<std::int32_t, const char*> kNames[] = {
        {vst::kFlagHasEditor, "hasEditor"},
        {vst::kFlagCanReplacing, "canReplacing"},
        {vst::kFlagProgramChunks, "programChunks"},
        {vst::kFlagIsSynth, "isSynth"},
        {vst::kFlagNoSoundInStop, "noSoundInStop"},
        {vst::kFlagCanDoubleReplacing, "canDoubleReplacing"},
    };
    std::string out;
    std::int32_t known = 0;
    for (const auto& [bit, name] : kNames) {
        known |= bit;
        if (flags & bit) out += out.empty() ? name : std::string(" ") + name;
    }
    if (std::int32_t rest = flags & ~known) {
        if (!out.empty()) out += ' ';
        out += "other:" + formatInt(rest);
    }
    return out.empty() ? "none" : out;
}

std::string categoryName(int category) {
    static constexpr std::array<const char*, 12> kNames = {
        "unknown", "effect",     "synth",       "analysis",       "mastering", "spacializer",
        "roomFx",  "surroundFx", "restoration", "offlineProcess", "shell",     "generator"};
    return category >= 0 && category < static_cast<int>(kNames.size()) ? kNames[category] : "?";
}

std::string pinFlagNames(int flags) {
    std::string out;
    if (flags & vst::kPinIsActive) out += "active";
    if (flags & vst::kPinIsStereo) out += out.empty() ? "stereo" : " stereo";
    if (flags & vst::kPinUseSpeaker) out += out.empty() ? "useSpeaker" : " useSpeaker";
    return out.empty() ? "none" : out;
}

void line(std::string& out, const std::string& key, const std::string& value) {
    out += key;
    out += ": ";
    out += value;
    out += '\n';
}

} // namespace

std::string fourCharText(std::int32_t code) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        auto c = static_cast<unsigned char>((static_cast<std::uint32_t>(code) >> shift) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    return s;
}

std::string pluginInfoText(host::PluginHost& host) {
    const AEffect& e = host.effect();
    std::string out;
    line(out, "path", host.path());
    line(out, "magic", fourCharText(e.magic));
    line(out, "numPrograms", formatInt(e.numPrograms));
    line(out, "numParams", formatInt(e.numParams));
    line(out, "numInputs", formatInt(e.numInputs));
    line(out, "numOutputs", formatInt(e.numOutputs));
    line(out, "flags", formatInt(host.flags()) + " (" + flagNames(host.flags()) + ")");
    line(out, "uniqueID", fourCharText(e.uniqueID) + " (" + formatInt(e.uniqueID) + ")");
    line(out, "version", formatInt(e.version));
    line(out, "effectName", host.effectName());
    line(out, "vendor", host.vendorString());
    line(out, "product", host.productString());
    line(out, "vendorVersion", formatInt(host.vendorVersion()));
    int category = host.plugCategory();
    line(out, "plugCategory", formatInt(category) + " (" + categoryName(category) + ")");
    line(out, "vstVersion", formatInt(host.vstVersion()));
    line(out, "numMidiInputChannels", formatInt(host.numMidiInputChannels()));
    for (int i = 0; i < e.numOutputs; ++i) {
        host::PinInfo pin;
        std::string key = "output " + formatInt(i);
        if (!host.outputProperties(i, pin)) {
            line(out, key, "(no properties)");
            continue;
        }
        line(out, key,
             "\"" + pin.label + "\" flags " + formatInt(pin.flags) + " (" +
                 pinFlagNames(pin.flags) + ")");
    }
    static constexpr const char* kCanDo[] = {"receiveVstEvents", "receiveVstMidiEvent",
                                             "sendVstEvents",    "sendVstMidiEvent",
                                             "midiProgramNames", "bypass",
                                             "offline",          "receiveVstTimeInfo"};
    for (const char* what : kCanDo)
        line(out, std::string("canDo ") + what, formatInt(host.canDo(what)));
    line(out, "parameters", formatInt(e.numParams));
    const bool kolva = e.uniqueID == kKolvaUniqueId;
    for (int i = 0; i < e.numParams && i < kInfoParameterCount; ++i) {
        std::string name = host.parameterName(i);
        std::string text = "name \"" + name + "\" display \"" + host.parameterDisplay(i) +
                           "\" label \"" + host.parameterLabel(i) + "\" value " +
                           formatFixed(host.getParameter(i), 6);
        // Kolva leaves names to its editor; --param knows them from its table.
        if (name.empty() && kolva && i < kNumParameters) text += " key " + parameterDefs()[i].name;
        line(out, "parameter " + formatInt(i), text);
    }
    return out;
}

} // namespace kolva::render
