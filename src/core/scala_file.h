#pragma once
// Reader for Scala scale files (".scl"): a description line, a note count N and N pitch
// lines, each either a ratio "n/d" or a number of cents. Files are untrusted: every count,
// length and number is checked, and bad input gives a one-line error, never a crash.
// Main/editor thread only (the reader touches files).

#include "engine/tuning_map.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kolva {

// One pitch line of a scale file.
struct ScaleDegree {
    static constexpr std::int32_t kCents = 0;
    static constexpr std::int32_t kRatio = 1;

    std::int32_t kind = kCents;
    std::int32_t numerator = 1;   // ratio degrees only
    std::int32_t denominator = 1; // ratio degrees only
    double cents = 0.0;           // cents degrees only

    static ScaleDegree fromCents(double c) { return {kCents, 1, 1, c}; }
    static ScaleDegree fromRatio(std::int32_t n, std::int32_t d) { return {kRatio, n, d, 0.0}; }
};

struct ScaleFile {
    std::string description;
    int declaredCount = 0;
    std::vector<ScaleDegree> degrees; // exactly declaredCount entries after a successful read
};

inline constexpr std::size_t kMaxScalaFileBytes = std::size_t{1} << 20;
inline constexpr std::size_t kMaxScalaLineLength = 4096;
// A scale must fit the engine's semitone table.
inline constexpr int kMaxScalaDegrees = TuningMap::kMaxDegrees;
// Far beyond any audible interval; keeps every semitone value a finite float.
inline constexpr double kMaxAbsCents = 1.0e6;

// The degree's size in semitones: cents / 100, or 12 x log2(n / d) for a ratio.
double degreeSemitones(const ScaleDegree& degree);

// True when the degree can be turned into a semitone value: a ratio of two positive
// numbers, or a finite number of cents within kMaxAbsCents. Otherwise sets `error`.
bool checkDegree(const ScaleDegree& degree, std::string& error);

// True when the degrees form a usable scale: 1..kMaxScalaDegrees valid degrees whose last
// one (the period) lies above the unison. Otherwise sets `error`.
bool checkScale(const std::vector<ScaleDegree>& degrees, std::string& error);

// Parses a whole file image. On failure returns false and sets `error` to a one-line
// message; `out` is then unspecified.
bool parseScalaText(std::string_view text, ScaleFile& out, std::string& error);

// Reads (at most kMaxScalaFileBytes) and parses the file at `path`.
bool loadScalaFile(const std::filesystem::path& path, ScaleFile& out, std::string& error);

} // namespace kolva
