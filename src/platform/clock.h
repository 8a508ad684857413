#pragma once
// A monotonic clock in seconds for the note-timing rules (retrigger windows). Reading it is a
// vDSO call: no lock, no allocation, safe on the audio thread.

#include <chrono>

namespace kolva::platform {

inline double monotonicSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace kolva::platform
