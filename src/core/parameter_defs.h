#pragma once
// The 725 parameters: one constant table (name, kind, option list, encoding, default,
// smoothing, receiving module slots), built once per process and read by everything else:
// host names, engine routing, MIDI learn, display texts, preset keys. Indices never move.
// Thread-safe to read from any thread once built (first use builds it).

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kolva {

inline constexpr int kNumParameters = 725;

// Parameter indices the plug-in core and engine handle themselves.
namespace param {
inline constexpr int kMode = 0;
inline constexpr int kPoly = 1;
inline constexpr int kVelocity = 8;
inline constexpr int kVolume = 9;
inline constexpr int kOsc1Type = 25;
inline constexpr int kFlt1Type = 101;
inline constexpr int kFlt1Mode = 102;
inline constexpr int kFlt2Type = 105;
inline constexpr int kFlt2Mode = 106;
inline constexpr int kPhsPre = 257;
inline constexpr int kRevMode = 279;
inline constexpr int kSlotsFirst = 288; // 15 slots x 10 parameters
inline constexpr int kSlotsLast = 437;
inline constexpr int kMacro1 = 714;
inline constexpr int kBendWheel = 720;
inline constexpr int kModWheel = 721;
inline constexpr int kAntiClick = 722;
} // namespace param

enum class OptionEncoding : std::uint8_t {
    None,        // continuous parameter
    Thousandths, // option k stored as k/999
    Plain,       // option k stored as k/(count-1)
};

// Which named option list an enumerated parameter uses (None for continuous ones).
enum class OptionListId : std::uint8_t {
    None, Mode, Poly, Bend, Switch, EqBand, OscType, Octave, Note, Wave, Unison, UnisonChord,
    FilterType, FilterMode, Routing, CurveA, CurveB, Target, Time, LfoForm, ShaperMode,
    PhaserStages, ChorusMode, SyncTime, ReverbMode, Source, StepMode, Step, ArpMode, ArpOctave,
    ArpVelocity, ArpWrap, ArpNote, PitchShift, PitchFine,
};

// One (module number, module slot) pair a parameter is delivered to.
struct ParamReceiver {
    std::int16_t module = -1;
    std::int16_t slot = -1;
};

struct ParameterDef {
    std::string name;                    // parameter key, e.g. "osc1_wave" (<= 35 chars)
    OptionListId list = OptionListId::None;
    const char* options = nullptr;       // option list text, nullptr when continuous
    OptionEncoding encoding = OptionEncoding::None;
    int optionCount = 0;                 // 0 for continuous
    float defaultValue = 0.0f;           // normalized default (already encoded for options)
    float smoothing = 0.0f;              // 0, 3 or 6
    bool engineHandled = false;          // APlugin::setParameter treats the index itself
    std::uint8_t receiverCount = 0;
    std::array<ParamReceiver, 6> receivers{}; // in binding order
};

// The whole table, index = parameter number.
const std::array<ParameterDef, kNumParameters>& parameterDefs();

// Index of the parameter with this exact name, or -1.
int findParameter(std::string_view name);

// The option list text of a named list (nullptr for None).
const char* optionListText(OptionListId id);

// True when the editor side treats the index as a sound parameter (see the header comment
// in the .cpp for the exact ranges); negative indices answer true.
bool isSoundParameter(int index);

} // namespace kolva
