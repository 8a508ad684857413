#pragma once
// The VST 2.4 binary interface: Debian's fst.h plus the real numbers of the opcodes and
// flags that fst.h leaves as placeholders (values >= 100000 there).

#include <cstddef>
#include <cstdint>

#include <fst.h>

namespace kolva::vst {

// Plug-in opcodes (dispatcher). The ones fst.h also names are repeated here so that code
// outside the plug-in can take every number from one place.
inline constexpr int kEffOpen = 0;
inline constexpr int kEffClose = 1;
inline constexpr int kEffSetProgram = 2;
inline constexpr int kEffGetProgram = 3;
inline constexpr int kEffGetProgramName = 5;
inline constexpr int kEffGetParamLabel = 6;
inline constexpr int kEffGetParamDisplay = 7;
inline constexpr int kEffGetParamName = 8;
inline constexpr int kEffGetVu = 9;
inline constexpr int kEffSetSampleRate = 10;
inline constexpr int kEffSetBlockSize = 11;
inline constexpr int kEffMainsChanged = 12;
inline constexpr int kEffEditDraw = 16;
inline constexpr int kEffEditMouse = 17;
inline constexpr int kEffEditKey = 18;
inline constexpr int kEffEditTop = 20;
inline constexpr int kEffEditSleep = 21;
inline constexpr int kEffIdentify = 22;
inline constexpr int kEffGetNumProgramCategories = 28;
inline constexpr int kEffCopyProgram = 30;
inline constexpr int kEffConnectInput = 31;
inline constexpr int kEffConnectOutput = 32;
inline constexpr int kEffGetChunk = 23;
inline constexpr int kEffSetChunk = 24;
inline constexpr int kEffProcessEvents = 25;
inline constexpr int kEffCanBeAutomated = 26;
inline constexpr int kEffGetOutputProperties = 34;
inline constexpr int kEffGetPlugCategory = 35;
inline constexpr int kEffSetBypass = 44;
inline constexpr int kEffGetEffectName = 45;
inline constexpr int kEffGetVendorString = 47;
inline constexpr int kEffGetProductString = 48;
inline constexpr int kEffGetVendorVersion = 49;
inline constexpr int kEffVendorSpecific = 50;
inline constexpr int kEffCanDo = 51;
inline constexpr int kEffGetTailSize = 52;
inline constexpr int kEffIdle = 53;
inline constexpr int kEffGetParameterProperties = 56;
inline constexpr int kEffKeysRequired = 57;
inline constexpr int kEffGetVstVersion = 58;
inline constexpr int kEffEditKeyDown = 59;
inline constexpr int kEffEditKeyUp = 60;
inline constexpr int kEffSetEditKnobMode = 61;
inline constexpr int kEffGetMidiProgramName = 62;
inline constexpr int kEffGetCurrentMidiProgram = 63;
inline constexpr int kEffGetMidiProgramCategory = 64;
inline constexpr int kEffHasMidiProgramsChanged = 65;
inline constexpr int kEffGetMidiKeyName = 66;
inline constexpr int kEffBeginSetProgram = 67;
inline constexpr int kEffEndSetProgram = 68;
inline constexpr int kEffSetPanLaw = 74;
inline constexpr int kEffBeginLoadBank = 75;
inline constexpr int kEffBeginLoadProgram = 76;
inline constexpr int kEffGetNumMidiInputChannels = 78;
inline constexpr int kEffGetNumMidiOutputChannels = 79;

// Host opcodes (audioMaster callback).
inline constexpr int kHostAutomate = 0;
inline constexpr int kHostVersion = 1;
inline constexpr int kHostCurrentId = 2;
inline constexpr int kHostIdle = 3;
inline constexpr int kHostGetTime = 7;
inline constexpr int kHostProcessEvents = 8;
inline constexpr int kHostIOChanged = 13;
inline constexpr int kHostSizeWindow = 15;
inline constexpr int kHostGetSampleRate = 16;
inline constexpr int kHostGetBlockSize = 17;
inline constexpr int kHostGetCurrentProcessLevel = 23;
inline constexpr int kHostGetVendorString = 32;
inline constexpr int kHostGetProductString = 33;
inline constexpr int kHostGetVendorVersion = 34;
inline constexpr int kHostCanDo = 37;
inline constexpr int kHostUpdateDisplay = 42;
inline constexpr int kHostBeginEdit = 43;
inline constexpr int kHostEndEdit = 44;

// AEffect::magic ("VstP") and flags.
inline constexpr std::int32_t kEffectMagic = 0x56737450;
inline constexpr std::int32_t kFlagHasEditor = 1 << 0;
inline constexpr std::int32_t kFlagCanReplacing = 1 << 4;
inline constexpr std::int32_t kFlagProgramChunks = 1 << 5;
inline constexpr std::int32_t kFlagIsSynth = 1 << 8;
inline constexpr std::int32_t kFlagNoSoundInStop = 1 << 9;
inline constexpr std::int32_t kFlagCanDoubleReplacing = 1 << 12;

// Version number a VST 2.4 host reports; process level of a host rendering offline.
inline constexpr int kHostVstVersion = 2400;
inline constexpr int kProcessLevelOffline = 4;

// VstEvent::type of a MIDI event.
inline constexpr int kMidiEventType = 1;

// Pin property flags.
inline constexpr int kPinIsActive = 1;
inline constexpr int kPinIsStereo = 2;
inline constexpr int kPinUseSpeaker = 4;

// Text limits of the interface (including the terminating NUL where the host allocates).
inline constexpr int kMaxProgNameLen = 24;
inline constexpr int kMaxParamStrLen = 8;
inline constexpr int kMaxEffectNameLen = 32;
inline constexpr int kMaxVendorStrLen = 64;
inline constexpr int kMaxProductStrLen = 64;
inline constexpr int kMaxPinLabelLen = 64;

inline constexpr VstInt32 fourCC(char a, char b, char c, char d) {
    return static_cast<VstInt32>((static_cast<unsigned>(static_cast<unsigned char>(a)) << 24) |
                                 (static_cast<unsigned>(static_cast<unsigned char>(b)) << 16) |
                                 (static_cast<unsigned>(static_cast<unsigned char>(c)) << 8) |
                                 static_cast<unsigned>(static_cast<unsigned char>(d)));
}

// The real AEffect record ends with 56 reserved bytes that fst.h does not declare; hosts may
// read them, so the record we hand out carries them (zeroed).
struct AEffectRecord {
    AEffect effect;
    char reserved[56];
};
static_assert(sizeof(AEffect) == 136, "unexpected AEffect layout");
static_assert(offsetof(AEffect, uniqueID) == 112, "unexpected AEffect layout");

} // namespace kolva::vst
