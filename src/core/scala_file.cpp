#include "core/scala_file.h"

#include "platform/atomic_file.h"
#include "util/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace kolva {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\f' || c == '\v' || c == '\r';
}

// Scala lets a comment follow the value on the same line ("701.955 fifth"), so a value is
// the first blank-separated word and whatever follows it is ignored.
std::string_view firstWord(std::string_view text) {
    text = trimSpace(text);
    std::size_t end = 0;
    while (end < text.size() && !isBlank(text[end]))
        ++end;
    return text.substr(0, end);
}

// A whole decimal integer, nothing else; false for empty, fractional or out-of-range text.
bool parseWhole(std::string_view text, long long& value) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    auto r = std::from_chars(text.data(), end, value);
    return r.ec == std::errc() && r.ptr == end;
}

// Keeps error messages on one short line whatever the file holds.
std::string quoted(std::string_view text) {
    constexpr std::size_t kShown = 32;
    std::string s = "'";
    for (char c : text.substr(0, kShown))
        s += (static_cast<unsigned char>(c) < 0x20) ? '?' : c;
    if (text.size() > kShown) s += "...";
    return s + "'";
}

std::string atLine(std::size_t line) {
    return "line " + formatInt(static_cast<long long>(line)) + ": ";
}

bool parseCount(std::string_view line, std::size_t lineNo, int& count, std::string& error) {
    const std::string_view word = firstWord(line);
    long long n = 0;
    if (!parseWhole(word, n)) {
        error = atLine(lineNo) + "the note count " + quoted(word) + " is not a whole number";
        return false;
    }
    if (n < 1 || n > kMaxScalaDegrees) {
        error =
            atLine(lineNo) + "the note count must lie between 1 and " + formatInt(kMaxScalaDegrees);
        return false;
    }
    count = static_cast<int>(n);
    return true;
}

bool parseDegree(std::string_view line, std::size_t lineNo, ScaleDegree& degree,
                 std::string& error) {
    const std::size_t slash = line.find('/');
    if (slash != std::string_view::npos) {
        const std::string_view numText = trimSpace(line.substr(0, slash));
        const std::string_view denText = firstWord(line.substr(slash + 1));
        long long num = 0;
        long long den = 0;
        if (!parseWhole(numText, num) || !parseWhole(denText, den)) {
            error = atLine(lineNo) + "the ratio " + quoted(trimSpace(line)) +
                    " needs a whole numerator and denominator";
            return false;
        }
        constexpr long long kMax = std::numeric_limits<std::int32_t>::max();
        if (num < 1 || den < 1 || num > kMax || den > kMax) {
            error = atLine(lineNo) + "the ratio " + quoted(trimSpace(line)) +
                    " needs a numerator and denominator between 1 and " + formatInt(kMax);
            return false;
        }
        degree =
            ScaleDegree::fromRatio(static_cast<std::int32_t>(num), static_cast<std::int32_t>(den));
    } else {
        const std::string_view word = firstWord(line);
        const auto cents = parseDouble(word);
        if (!cents) {
            error = atLine(lineNo) + "the degree " + quoted(word) + " is not a number";
            return false;
        }
        degree = ScaleDegree::fromCents(*cents);
    }
    std::string why;
    if (!checkDegree(degree, why)) {
        error = atLine(lineNo) + why;
        return false;
    }
    return true;
}

} // namespace

double degreeSemitones(const ScaleDegree& degree) {
    if (degree.kind == ScaleDegree::kRatio) {
        const double ratio =
            static_cast<double>(degree.numerator) / static_cast<double>(degree.denominator);
        return std::log(ratio) * 1200.0 / std::log(2.0) * 0.01;
    }
    return degree.cents / 100.0;
}

bool checkDegree(const ScaleDegree& degree, std::string& error) {
    if (degree.kind == ScaleDegree::kRatio) {
        if (degree.numerator < 1 || degree.denominator < 1) {
            error = "a ratio needs a positive numerator and denominator";
            return false;
        }
        return true;
    }
    if (degree.kind != ScaleDegree::kCents) {
        error = "unknown degree kind " + formatInt(degree.kind);
        return false;
    }
    if (!std::isfinite(degree.cents) || std::fabs(degree.cents) > kMaxAbsCents) {
        error = "a cents value must be a finite number within +-" + formatFixed(kMaxAbsCents, 0);
        return false;
    }
    return true;
}

bool checkScale(const std::vector<ScaleDegree>& degrees, std::string& error) {
    if (degrees.empty() || degrees.size() > static_cast<std::size_t>(kMaxScalaDegrees)) {
        error = "a scale needs between 1 and " + formatInt(kMaxScalaDegrees) + " degrees";
        return false;
    }
    for (const ScaleDegree& d : degrees)
        if (!checkDegree(d, error)) return false;
    // The last degree repeats the scale; the engine (like every listener) needs it to rise.
    if (!(static_cast<float>(degreeSemitones(degrees.back())) > 0.0f)) {
        error = "the last degree (the period) must lie above the unison";
        return false;
    }
    return true;
}

bool parseScalaText(std::string_view text, ScaleFile& out, std::string& error) {
    if (text.size() > kMaxScalaFileBytes) {
        error = "the file is larger than " + formatInt(kMaxScalaFileBytes) + " bytes";
        return false;
    }
    // A UTF-8 byte order mark would otherwise hide a leading "!" comment.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

    out = ScaleFile{};
    bool haveDescription = false;
    bool haveCount = false;
    std::size_t lineNo = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() > kMaxScalaLineLength) {
            error =
                atLine(lineNo) + "longer than " + formatInt(kMaxScalaLineLength) + " characters";
            return false;
        }
        if (trimSpace(line).empty() || line.front() == '!') continue;

        if (!haveDescription) {
            out.description = std::string(trimSpace(line));
            haveDescription = true;
        } else if (!haveCount) {
            if (!parseCount(line, lineNo, out.declaredCount, error)) return false;
            out.degrees.reserve(static_cast<std::size_t>(out.declaredCount));
            haveCount = true;
        } else {
            ScaleDegree degree;
            if (!parseDegree(line, lineNo, degree, error)) return false;
            out.degrees.push_back(degree);
            // Lines after the declared degrees are not read.
            if (out.degrees.size() == static_cast<std::size_t>(out.declaredCount)) break;
        }
    }

    if (!haveDescription || !haveCount) {
        error = haveDescription ? "the note count is missing" : "the file holds no scale";
        return false;
    }
    if (out.degrees.size() < static_cast<std::size_t>(out.declaredCount)) {
        error = "the file declares " + formatInt(out.declaredCount) + " degrees but lists " +
                formatInt(static_cast<long long>(out.degrees.size()));
        return false;
    }
    return checkScale(out.degrees, error);
}

bool loadScalaFile(const std::filesystem::path& path, ScaleFile& out, std::string& error) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (!ec && size > kMaxScalaFileBytes) {
        error = "the file is larger than " + formatInt(kMaxScalaFileBytes) + " bytes";
        return false;
    }
    const auto bytes = platform::readFile(path, kMaxScalaFileBytes);
    if (!bytes) {
        error = "the file cannot be read";
        return false;
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    return parseScalaText(text, out, error);
}

} // namespace kolva
