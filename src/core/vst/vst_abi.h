#pragma once
// The VST 2.4 binary interface: Debian's fst.h plus the real numbers of the opcodes and
// flags that fst.h leaves as placeholders (values >= 100000 there).

#include <cstddef>

#include <fst.h>

namespace kolva::vst {

// Plug-in opcodes (dispatcher).
inline constexpr int kEffGetVu = 9;
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
inline constexpr int kEffSetBypass = 44;
inline constexpr int kEffGetTailSize = 52;
inline constexpr int kEffIdle = 53;
inline constexpr int kEffGetParameterProperties = 56;
inline constexpr int kEffKeysRequired = 57;
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
