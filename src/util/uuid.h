#pragma once
// Random (version 4) UUIDs in their lower-case 36-character text form.

#include <string>

namespace kolva {

std::string newUuid();

} // namespace kolva
