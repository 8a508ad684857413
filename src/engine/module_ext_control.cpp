#include "engine/module_ext_control.h"

#include "engine/lookup_curve.h"
#include "engine/voice_context.h"

#include <algorithm>
#include <cmath>

namespace kolva {
namespace {

constexpr float kBendCoefficient = 0.007f; // pitch bend: one fixed one-pole
constexpr float kSettle = 0.0001f;
// A step larger than this after a long pause is taken at once: the player moved the control
// while nothing was sent, and gliding there would sound late.
constexpr float kJumpStep = 0.2f;
constexpr float kJumpPause = 0.5f; // seconds
constexpr float kGapMin = 0.05f;   // seconds; the gap since the previous value is clamped
constexpr float kGapMax = 1.5f;
// The sample counter saturates here so that a control left alone for hours cannot overflow.
constexpr std::int32_t kCounterCap = 1 << 30;

bool validChannel(int channel) { return channel >= 0 && channel < ModuleExtControl::kChannels; }

} // namespace

ModuleExtControl::ModuleExtControl() = default;
ModuleExtControl::~ModuleExtControl() = default;

void ModuleExtControl::input(int channel, int offset, float value) {
    if (!validChannel(channel) || !std::isfinite(value)) return;
    // Controllers span -1..1 (bend) or 0..1; this also keeps the lane's marker unambiguous.
    value = std::clamp(value, -1.0f, 1.0f);
    ControllerState& c = channels_[channel];
    c.lastInput = value;
    if (c.lane == nullptr || laneLength_ <= 0) {
        c.pending = value;
        c.hasPending = true;
        return;
    }
    const int at = std::clamp(offset, 0, laneLength_ - 1);
    c.lane[at] = value;
    if (at >= c.highest) {
        c.highest = at;
        c.laneLatest = value;
    }
}

void ModuleExtControl::setBlockSize(int frames) {
    laneLength_ = std::max(frames, 0);
    for (ControllerState& c : channels_) {
        // A value still waiting in the old lane survives the re-carve.
        if (c.highest >= 0) {
            c.pending = c.laneLatest;
            c.hasPending = true;
        }
        c.highest = -1;
        c.lane = voiceContext_->allocate(laneLength_, "ext in");
        c.output = voiceContext_->allocate(laneLength_, "ext out");
        if (c.lane == nullptr || c.output == nullptr) {
            c.lane = nullptr;
            c.output = nullptr;
        } else {
            std::fill(c.lane, c.lane + laneLength_, kNoValue);
            std::fill(c.output, c.output + laneLength_, c.current);
        }
        c.voices.fill(c.output);
    }
}

void ModuleExtControl::reset() {
    for (ControllerState& c : channels_) {
        if (c.lane != nullptr && c.highest >= 0)
            std::fill(c.lane, c.lane + std::min(c.highest + 1, laneLength_), kNoValue);
        c.highest = -1;
        c.hasPending = false;
        c.firstValue = true;
    }
}

float* const* ModuleExtControl::getModOutput(int index) {
    if (!validChannel(index) || channels_[index].output == nullptr) return nullptr;
    return channels_[index].voices.data();
}

void ModuleExtControl::renderBlock(int frames) {
    const int n = std::min(frames, laneLength_);
    if (n <= 0) return;
    if (n != lastFrames_) {
        // The output buffers must be written over their new length.
        lastFrames_ = n;
        for (ControllerState& c : channels_) c.state = 2;
    }
    for (int ch = 0; ch < kChannels; ++ch) renderChannel(ch, n);
}

void ModuleExtControl::takeValue(int channel, float value) {
    ControllerState& c = channels_[channel];
    const float step = std::fabs(value - c.current);
    c.target = value;
    if (c.firstValue) {
        c.firstValue = false;
        c.current = value;
        c.coefficient = channel == kPitchBend ? kBendCoefficient : 1.0f;
    } else if (channel == kPitchBend) {
        c.coefficient = kBendCoefficient;
    } else {
        const auto lo = static_cast<std::int32_t>(kGapMin * sampleRate_);
        const auto hi = static_cast<std::int32_t>(kGapMax * sampleRate_);
        const std::int32_t gap = std::clamp(c.sinceValue, lo, std::max(lo, hi));
        if (static_cast<float>(gap) > kJumpPause * sampleRate_ && step > kJumpStep)
            c.coefficient = 1.0f;
        else
            c.coefficient = lookupCurve(kStepCoefficients, 8, step * 7.0f);
    }
    c.sinceValue = 1;
    c.state = 2;
}

void ModuleExtControl::renderChannel(int channel, int n) {
    ControllerState& c = channels_[channel];
    if (c.lane == nullptr) return;
    float* lane = c.lane;
    float* out = c.output;

    if (c.hasPending) {
        // The lane's own value at sample 0 is newer than the pending one.
        if (lane[0] == kNoValue) {
            lane[0] = c.pending;
            if (c.highest < 0) {
                c.highest = 0;
                c.laneLatest = c.pending;
            }
        }
        c.hasPending = false;
    }
    if (c.state == 0 && c.highest < 0) {
        c.sinceValue = std::min(c.sinceValue + n, kCounterCap);
        return;
    }

    const int last = std::min(c.highest, n - 1);
    float cur = c.current;
    int i = 0;
    while (i < n) {
        int next = i;
        while (next <= last && lane[next] == kNoValue) ++next;
        const int end = next <= last ? next : n;
        const float t = c.target;
        const float k = c.coefficient;
        if (cur == t) {
            std::fill(out + i, out + end, cur);
        } else {
            for (int s = i; s < end; ++s) {
                cur += (t - cur) * k;
                out[s] = cur;
            }
        }
        c.sinceValue = std::min(c.sinceValue + (end - i), kCounterCap);
        if (end == n) break;

        const float x = lane[next];
        lane[next] = kNoValue;
        c.current = cur;
        takeValue(channel, x);
        cur = c.current;
        cur += (c.target - cur) * c.coefficient;
        out[next] = cur;
        c.sinceValue += 1;
        i = next + 1;
    }

    // Values placed past a block shorter than the lane wait for the next block.
    if (c.highest >= n) {
        c.pending = c.laneLatest;
        c.hasPending = true;
        std::fill(lane + n, lane + c.highest + 1, kNoValue);
    }
    c.highest = -1;

    if (std::fabs(c.target - cur) < kSettle) {
        cur = c.target;
        if (c.state > 0) --c.state;
    }
    c.current = cur;
}

float ModuleExtControl::lastInput(int channel) const {
    return validChannel(channel) ? channels_[channel].lastInput : 0.0f;
}

float ModuleExtControl::current(int channel) const {
    return validChannel(channel) ? channels_[channel].current : 0.0f;
}

bool ModuleExtControl::idle(int channel) const {
    if (!validChannel(channel)) return true;
    const ControllerState& c = channels_[channel];
    return c.state == 0 && c.highest < 0 && !c.hasPending;
}

} // namespace kolva
