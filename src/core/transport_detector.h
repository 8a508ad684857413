#pragma once
// Detects that the host's transport stopped: the song position, sampled once per block, moved
// and then stood still for more than seven blocks. Audio thread only.

#include <cstdint>

namespace kolva {

class TransportStopDetector {
public:
    // Feed the position of this block (sixteenth notes). True exactly once per stop, on the
    // block after the stop was recognised.
    bool update(double position) {
        switch (state_) {
        case 0:
            state_ = 1;
            remembered_ = position;
            return false;
        case 1:
            if (position != remembered_) {
                state_ = 2;
                stillBlocks_ = 0;
                remembered_ = position;
            }
            return false;
        case 2:
            if (position != remembered_) {
                stillBlocks_ = 0;
                remembered_ = position;
            } else if (++stillBlocks_ > 7) {
                state_ = 3;
                stillBlocks_ = 0;
            }
            return false;
        default:
            state_ = 1;
            return true;
        }
    }
    int state() const { return state_; }
    int stillBlocks() const { return stillBlocks_; }

private:
    double remembered_ = 0.0; // lastBeatPosition
    std::int32_t state_ = 0;
    std::int32_t stillBlocks_ = 0;
};

} // namespace kolva
