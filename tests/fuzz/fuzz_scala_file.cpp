// libFuzzer target for the Scala scale file reader: any byte string must parse or fail with
// a one-line message, and a successful parse must give exactly the declared number of
// usable degrees whose semitone values are finite.

#include "core/scala_file.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    kolva::ScaleFile scale;
    std::string error;
    if (!kolva::parseScalaText(text, scale, error)) {
        if (error.empty() || error.find('\n') != std::string::npos) std::abort();
        return 0;
    }
    if (scale.declaredCount < 1 || scale.declaredCount > kolva::kMaxScalaDegrees ||
        scale.degrees.size() != static_cast<std::size_t>(scale.declaredCount))
        std::abort();
    for (const kolva::ScaleDegree& d : scale.degrees) {
        if (d.kind == kolva::ScaleDegree::kRatio && (d.numerator < 1 || d.denominator < 1))
            std::abort();
        if (!std::isfinite(static_cast<float>(kolva::degreeSemitones(d)))) std::abort();
    }
    if (!(kolva::degreeSemitones(scale.degrees.back()) > 0.0)) std::abort();
    return 0;
}
