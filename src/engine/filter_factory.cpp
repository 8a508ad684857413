#include "engine/filter_kernel.h"

namespace kolva::flt {

std::unique_ptr<FilterKernel> makeKernel(FilterType type) {
    switch (type) {
    case FilterType::Off: return nullptr;
    case FilterType::Perfecto: return makePerfecto();
    case FilterType::Acido: return makeAcido();
    case FilterType::Infecto: return makeInfecto();
    case FilterType::Scorpio: return makeScorpio();
    case FilterType::Combo: return makeCombo();
    case FilterType::Shaper: return makeShaper();
    }
    return nullptr;
}

} // namespace kolva::flt
