#pragma once
// The block-end status record: overwritten by the audio thread after every block, read by the
// editor's timer without a lock (a reader may mix values of two blocks; only the display
// notices). Relaxed atomics keep that well-defined.

#include <atomic>
#include <cstdint>

namespace kolva {

struct BlockStatus {
    std::atomic<std::int32_t> stepper1Step{0};
    std::atomic<std::int32_t> stepper2Step{0};
    std::atomic<std::int32_t> arpLastStep{0};
    std::atomic<std::int32_t> matrixFlags[5]{}; // modulation activity shown by the editor
    std::atomic<float> peakLeft{0.0f};
    std::atomic<float> peakRight{0.0f};
};

} // namespace kolva
