#pragma once
// Delay lines and scratch buffers of the effect cores. Both are carved from the engine's
// arena at prepare time (sample rate or block size changed); processing only reads, writes
// and clears them.

#include "fx/fx_simd.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace kolva {
class SharedVoiceContext;
}

namespace kolva::fx {

// A circular line written at `write`, which advances after each sample.
struct DelayLine {
    float seconds = 0.0f; // duration it is sized for
    int length = 0;       // samples: int(sampleRate * seconds), at least 4 once carved
    float* data = nullptr;
    int write = 0;

    bool ready() const { return data != nullptr; }
    void put(float x) { data[write] = x; }
    void advance() {
        if (++write >= length) write = 0;
    }
    void push(float x) {
        put(x);
        advance();
    }
    // Whole samples back from the write index (clamped to the line).
    float readInteger(int delay) const;
    // Linear read d samples back: line[w - int(d)] blended towards the sample before it.
    float readLinear(float delay) const;
    // Catmull-Rom read at write - d (wrapped into the line).
    float readCubic(float delay) const;
    void clear();

    // n samples in one go, a fixed `delay` apart (clamped to the line): step(k, slot, older)
    // for k = 0..n-1, where `slot` is the sample at the write index and `older` the one `delay`
    // behind it; both move on one sample per step, and the write index ends n samples on. The
    // step reads and writes them in the order its per-sample form would (with delay 0 they are
    // the same sample). Stretches between wraps run as plain loops.
    template <class Step> void walk(int n, int delay, Step&& step);
    // The same, four samples at a time where it can: step4(k, slots, olders) stands for steps
    // k..k+3 on four consecutive samples. Only at delays of four or more, where none of the
    // four reads can see one of the four writes; shorter delays go sample by sample.
    template <class Step, class Step4> void walk(int n, int delay, Step&& step, Step4&& step4);
};

template <class Step> void DelayLine::walk(int n, int delay, Step&& step) {
    walk(n, delay, step, [&step](int k, float* slots, float* olders) {
        for (int j = 0; j < 4; ++j) step(k + j, slots[j], olders[j]);
    });
}

template <class Step, class Step4>
[[gnu::always_inline]] inline void DelayLine::walk(int n, int delay, Step&& step, Step4&& step4) {
    if (data == nullptr || n <= 0) return;
    delay = std::clamp(delay, 0, length - 1);
    const bool fours = delay >= 4;
    int read = write - delay;
    if (read < 0) read += length;
    for (int k = 0; k < n;) {
        const int run = std::min({n - k, length - write, length - read});
        float* slot = data + write;
        float* older = data + read;
        int t = 0;
        if (fours)
            for (; t + 4 <= run; t += 4) step4(k + t, slot + t, older + t);
        for (; t < run; ++t) step(k + t, slot[t], older[t]);
        k += run;
        write += run;
        read += run;
        if (write == length) write = 0;
        if (read == length) read = 0;
    }
}

// Reads are inline: the effects call them several times per sample.
inline float DelayLine::readInteger(int delay) const {
    if (data == nullptr) return 0.0f;
    delay = std::clamp(delay, 0, length - 1);
    int i = write - delay;
    if (i < 0) i += length;
    return data[i];
}

// Linear read of a line of `length` samples written at `write`, at write - delay. NaN and
// out-of-range delays land inside the line.
inline float readLinearAt(const float* data, int length, int write, float delay) {
    const float d = delay > 0.0f ? std::min(delay, static_cast<float>(length - 2)) : 0.0f;
    const int whole = static_cast<int>(d);
    const float frac = d - static_cast<float>(whole);
    int i = write - whole;
    if (i < 0) i += length;
    int j = i - 1;
    if (j < 0) j += length;
    return (1.0f - frac) * data[i] + frac * data[j];
}

// readLinearAt for four consecutive samples: lane k reads as if the line were written at
// write + k (the caller keeps write + 3 inside the line), with readLinearAt's arithmetic.
inline __m128 readLinear4(const float* data, int length, int write, __m128 delay) {
    const __m128 d = _mm_and_ps(_mm_cmpgt_ps(delay, _mm_setzero_ps()),
                                _mm_min_ps(delay, _mm_set1_ps(static_cast<float>(length - 2))));
    const __m128i whole = _mm_cvttps_epi32(d);
    const __m128 frac = _mm_sub_ps(d, _mm_cvtepi32_ps(whole));
    __m128i i = _mm_sub_epi32(_mm_add_epi32(_mm_set1_epi32(write), _mm_setr_epi32(0, 1, 2, 3)),
                              whole);
    i = _mm_add_epi32(i, _mm_and_si128(_mm_cmplt_epi32(i, _mm_setzero_si128()),
                                       _mm_set1_epi32(length)));
    alignas(16) int at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(at), i);
    alignas(16) float now[4], older[4];
    for (int k = 0; k < 4; ++k) {
        now[k] = data[at[k]];
        older[k] = data[at[k] == 0 ? length - 1 : at[k] - 1];
    }
    return _mm_add_ps(_mm_mul_ps(_mm_sub_ps(_mm_set1_ps(1.0f), frac), _mm_load_ps(now)),
                      _mm_mul_ps(frac, _mm_load_ps(older)));
}

inline float DelayLine::readLinear(float delay) const {
    if (data == nullptr) return 0.0f;
    return readLinearAt(data, length, write, delay);
}

// Catmull-Rom read of a line of `length` samples written at `write`, at write - delay.
inline float cubicRead(const float* data, int length, int write, float delay) {
    const float d = delay > 0.0f ? std::min(delay, static_cast<float>(length - 3)) : 0.0f;
    // Whole and fraction are split before the write index enters, so the fraction does not
    // wobble with the index's float precision (a still delay would turn time-variant).
    const int whole = static_cast<int>(d);
    const float frac = d - static_cast<float>(whole);
    // Position write - d lies between samples i and i + 1, at t from i.
    int i = write - whole - (frac > 0.0f ? 1 : 0);
    const float t = frac > 0.0f ? 1.0f - frac : 0.0f;
    if (i < 0) i += length;
    const int im1 = i == 0 ? length - 1 : i - 1;
    const int ip1 = i + 1 >= length ? i + 1 - length : i + 1;
    const int ip2 = i + 2 >= length ? i + 2 - length : i + 2;
    const float y0 = data[im1], y1 = data[i], y2 = data[ip1], y3 = data[ip2];
    // Catmull-Rom through y1..y2.
    const float a = -0.5f * y0 + 1.5f * y1 - 1.5f * y2 + 0.5f * y3;
    const float b = y0 - 2.5f * y1 + 2.0f * y2 - 0.5f * y3;
    const float c = -0.5f * y0 + 0.5f * y2;
    return ((a * t + b) * t + c) * t + y1;
}

// The constants of cubicRead4, made once where the same lines are read sample after sample.
struct CubicBounds4 {
    __m128 farthest;     // length - 3 as a float: the longest delay read
    __m128i length;      // added to indices that fell below 0
    __m128i insideLimit; // length - 2: below it (and above 0) the four neighbours do not wrap
    // The Catmull-Rom weights. Hidden from the optimiser, which would otherwise rebuild each
    // from a scalar at every read (a load and a shuffle) instead of keeping the register.
    __m128 minusHalf, half, oneAndHalf, twoAndHalf, two;
    explicit CubicBounds4(int n)
        : farthest(_mm_set1_ps(static_cast<float>(n - 3))), length(_mm_set1_epi32(n)),
          insideLimit(_mm_set1_epi32(n - 2)), minusHalf(_mm_set1_ps(-0.5f)),
          half(_mm_set1_ps(0.5f)), oneAndHalf(_mm_set1_ps(1.5f)), twoAndHalf(_mm_set1_ps(2.5f)),
          two(_mm_set1_ps(2.0f)) {
        asm("" : "+x"(minusHalf), "+x"(half), "+x"(oneAndHalf), "+x"(twoAndHalf), "+x"(two));
    }
};

// cubicRead on four lines at once (lane k reads data[k], written at lane k of `write`), all
// `bounds`' length long. The reads are scalar, four neighbours in one load where they do not
// wrap; the arithmetic runs on the four lanes.
// `d` is the delay already held within [0, length - 3].
[[gnu::always_inline]] inline __m128 cubicRead4Within(const float* const* data, int length,
                                                      const CubicBounds4& bounds, __m128i write,
                                                      __m128 d) {
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
    const __m128i whole = _mm_cvttps_epi32(d);
    const __m128 frac = _mm_sub_ps(d, _mm_cvtepi32_ps(whole));
    const __m128 between = _mm_cmpgt_ps(frac, zero);
    // i = write - whole - 1 where the position falls between samples (the mask is -1 there).
    __m128i i = _mm_add_epi32(_mm_sub_epi32(write, whole), _mm_castps_si128(between));
    i = _mm_add_epi32(i, _mm_and_si128(_mm_cmplt_epi32(i, _mm_setzero_si128()), bounds.length));
    const __m128 t = _mm_and_ps(between, _mm_sub_ps(one, frac));
    alignas(16) int at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(at), i);
    __m128 row[4]; // lane k: y0..y3 of line k
    // Usually no read wraps: then each lane's four neighbours are one load.
    const __m128i inside = _mm_and_si128(_mm_cmpgt_epi32(i, _mm_setzero_si128()),
                                         _mm_cmplt_epi32(i, bounds.insideLimit));
    if (_mm_movemask_ps(_mm_castsi128_ps(inside)) == 0xF) [[likely]] {
        // The indices are positive here: taken unsigned, they need no sign extension.
        const auto index = [](__m128i v) { return static_cast<unsigned>(_mm_cvtsi128_si32(v)); };
        row[0] = _mm_loadu_ps(data[0] + index(i) - 1);
        row[1] = _mm_loadu_ps(data[1] + index(_mm_shuffle_epi32(i, _MM_SHUFFLE(1, 1, 1, 1))) - 1);
        row[2] = _mm_loadu_ps(data[2] + index(_mm_shuffle_epi32(i, _MM_SHUFFLE(2, 2, 2, 2))) - 1);
        row[3] = _mm_loadu_ps(data[3] + index(_mm_shuffle_epi32(i, _MM_SHUFFLE(3, 3, 3, 3))) - 1);
    } else {
        for (int k = 0; k < 4; ++k) {
            const float* x = data[k];
            const int j = at[k];
            const int im1 = j == 0 ? length - 1 : j - 1;
            const int ip1 = j + 1 >= length ? j + 1 - length : j + 1;
            const int ip2 = j + 2 >= length ? j + 2 - length : j + 2;
            row[k] = _mm_setr_ps(x[im1], x[j], x[ip1], x[ip2]);
        }
    }
    _MM_TRANSPOSE4_PS(row[0], row[1], row[2], row[3]);
    const __m128 y0 = row[0], y1 = row[1], y2 = row[2], y3 = row[3];
    const auto times = [](__m128 c, __m128 v) { return _mm_mul_ps(c, v); };
    const __m128 a = _mm_add_ps(_mm_sub_ps(_mm_add_ps(times(bounds.minusHalf, y0),
                                                      times(bounds.oneAndHalf, y1)),
                                           times(bounds.oneAndHalf, y2)),
                                times(bounds.half, y3));
    const __m128 b = _mm_sub_ps(_mm_add_ps(_mm_sub_ps(y0, times(bounds.twoAndHalf, y1)),
                                           times(bounds.two, y2)),
                                times(bounds.half, y3));
    const __m128 c = _mm_add_ps(times(bounds.minusHalf, y0), times(bounds.half, y2));
    return _mm_add_ps(
        _mm_mul_ps(_mm_add_ps(_mm_mul_ps(_mm_add_ps(_mm_mul_ps(a, t), b), t), c), t), y1);
}

[[gnu::always_inline]] inline __m128 cubicRead4(const float* const* data, int length,
                                                const CubicBounds4& bounds, __m128i write,
                                                __m128 delay) {
    const __m128 d =
        _mm_and_ps(_mm_cmpgt_ps(delay, _mm_setzero_ps()), _mm_min_ps(delay, bounds.farthest));
    return cubicRead4Within(data, length, bounds, write, d);
}

// cubicRead4 where every delay is known to be above 0 (so none is NaN either): only the
// upper clamp is left.
[[gnu::always_inline]] inline __m128 cubicRead4Positive(const float* const* data, int length,
                                                        const CubicBounds4& bounds,
                                                        __m128i write, __m128 delay) {
    return cubicRead4Within(data, length, bounds, write, _mm_min_ps(delay, bounds.farthest));
}

// The same, its constants made for this one call.
inline __m128 cubicRead4(const float* const* data, int length, __m128i write, __m128 delay) {
    return cubicRead4(data, length, CubicBounds4(length), write, delay);
}

inline float DelayLine::readCubic(float delay) const {
    if (data == nullptr) return 0.0f;
    return cubicRead(data, length, write, delay);
}

// The lines of one core, registered once with their durations.
class DelayLineRegistry {
public:
    static constexpr int kMaxLines = 40;

    // Registers a line of `seconds`; returns its index (-1 when the registry is full).
    int add(float seconds);
    // Re-carves every line for `sampleRate`, zero-filled. False when the arena is short (those
    // lines stay empty and read as silence).
    bool carve(SharedVoiceContext& context, float sampleRate);
    void clear();
    DelayLine& operator[](int i) { return lines_[static_cast<std::size_t>(i)]; }
    const DelayLine& operator[](int i) const { return lines_[static_cast<std::size_t>(i)]; }
    int size() const { return count_; }
    bool ready() const { return ready_; }

private:
    std::array<DelayLine, kMaxLines> lines_{};
    int count_ = 0;
    bool ready_ = false;
};

// Per-block working buffers: `count` buffers of blockSize * factor floats.
class ScratchBuffers {
public:
    static constexpr int kMaxBuffers = 16;

    void configure(int count, int factor);
    bool carve(SharedVoiceContext& context, int blockSize);
    float* operator[](int i) const { return buffers_[static_cast<std::size_t>(i)]; }
    int capacity() const { return capacity_; } // floats per buffer
    int factor() const { return factor_; }
    bool ready() const { return ready_; }

private:
    std::array<float*, kMaxBuffers> buffers_{};
    int count_ = 0;
    int factor_ = 1;
    int capacity_ = 0;
    bool ready_ = false;
};

} // namespace kolva::fx
