#pragma once
// SSE2 pieces the effect kernels share. Each lane computes exactly what the scalar code of the
// same name computes (same operations in the same order), so a kernel can move its left and
// right channels, or several taps, into one register without changing a single bit of output.
//
// Audio thread only; nothing here allocates.

#include <emmintrin.h>

namespace kolva::fx::simd {

// One biquad section on two double lanes (lane 0 left, lane 1 right), direct form I:
// y = b0 x + b1 x1 + b2 x2 - a1 y1 - a2 y2, summed left to right as the scalar form is.
struct BiquadLanes {
    __m128d b0, b1, b2, a1, a2;
    __m128d x1, x2, y1, y2;

    __m128d step(__m128d x) {
        const __m128d y = _mm_sub_pd(
            _mm_sub_pd(_mm_add_pd(_mm_add_pd(_mm_mul_pd(b0, x), _mm_mul_pd(b1, x1)),
                                  _mm_mul_pd(b2, x2)),
                       _mm_mul_pd(a1, y1)),
            _mm_mul_pd(a2, y2));
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
    // A step whose feed-forward part b0 x + b1 x1 + b2 x2 was summed beforehand (for held
    // inputs, where it repeats); the history of x is the caller's to keep.
    __m128d feedback(__m128d forward) {
        const __m128d y = _mm_sub_pd(_mm_sub_pd(forward, _mm_mul_pd(a1, y1)), _mm_mul_pd(a2, y2));
        y2 = y1;
        y1 = y;
        return y;
    }
    __m128d forward(__m128d x, __m128d xPrev, __m128d xPrev2) const {
        return _mm_add_pd(_mm_add_pd(_mm_mul_pd(b0, x), _mm_mul_pd(b1, xPrev)),
                          _mm_mul_pd(b2, xPrev2));
    }
};

// Two floats (left, right) into the low lanes of a register, and back.
inline __m128 pairOf(float left, float right) {
    return _mm_unpacklo_ps(_mm_set_ss(left), _mm_set_ss(right));
}
inline __m128d widen(__m128 pair) { return _mm_cvtps_pd(pair); }
// Rounds both lanes to float, as storing the sample would.
inline __m128 narrow(__m128d y) { return _mm_cvtpd_ps(y); }
inline float lane0(__m128 v) { return _mm_cvtss_f32(v); }
inline float lane1(__m128 v) { return _mm_cvtss_f32(_mm_shuffle_ps(v, v, 1)); }
inline float lane2(__m128 v) { return _mm_cvtss_f32(_mm_movehl_ps(v, v)); }
inline float lane3(__m128 v) { return _mm_cvtss_f32(_mm_shuffle_ps(v, v, 3)); }

// Splits four interleaved left/right pairs (L0 R0 L1 R1, L2 R2 L3 R3) into L0..L3 and R0..R3.
inline void deinterleave(__m128 a, __m128 b, __m128& left, __m128& right) {
    left = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    right = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
}

// lookupCurve on four lanes: linear interpolation in `table` (n >= 2 points) at positions
// 0..n-1; at or below 0 (and NaN) the first point, at or past n - 1 the last, exactly as the
// scalar routine. The four reads are scalar (SSE2 has no gather); the arithmetic is not.
inline __m128 lookupCurve4(const float* table, int n, __m128 position) {
    const __m128 last = _mm_set1_ps(static_cast<float>(n - 1));
    // max(NaN, 0) is 0: NaN reads the first point.
    const __m128 p = _mm_max_ps(position, _mm_setzero_ps());
    const __m128 atEnd = _mm_cmpge_ps(p, last);
    // Indices stay below n - 1 so that i + 1 is inside the table; the end is selected below.
    const __m128i whole =
        _mm_cvttps_epi32(_mm_min_ps(p, _mm_set1_ps(static_cast<float>(n) - 1.5f)));
    const __m128 frac = _mm_sub_ps(p, _mm_cvtepi32_ps(whole));
    // Unsigned: the indices are never negative, and as such they need no sign extension.
    alignas(16) unsigned at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(at), whole);
    // Each lane's pair of neighbours in one 64-bit read: a0 b0 a1 b1 and a2 b2 a3 b3.
    const auto neighbours = [table](unsigned i) {
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(table + i));
    };
    const __m128 low = _mm_castsi128_ps(_mm_unpacklo_epi64(neighbours(at[0]), neighbours(at[1])));
    const __m128 high = _mm_castsi128_ps(_mm_unpacklo_epi64(neighbours(at[2]), neighbours(at[3])));
    const __m128 a = _mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 b = _mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128 inside = _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(b, a), frac));
    return _mm_or_ps(_mm_and_ps(atEnd, _mm_set1_ps(table[n - 1])),
                     _mm_andnot_ps(atEnd, inside));
}

// lookupCurve4 for a loop over one table: the constants (the table's ends and its last value)
// are set up once instead of per call; each lane computes exactly what lookupCurve4 does.
class Curve4 {
public:
    Curve4(const float* table, int n)
        : table_(table), last_(_mm_set1_ps(static_cast<float>(n - 1))),
          inner_(_mm_set1_ps(static_cast<float>(n) - 1.5f)), end_(_mm_set1_ps(table[n - 1])) {}

    __m128 operator()(__m128 position) const {
        const __m128 p = _mm_max_ps(position, _mm_setzero_ps());
        const __m128 atEnd = _mm_cmpge_ps(p, last_);
        const __m128i whole = _mm_cvttps_epi32(_mm_min_ps(p, inner_));
        const __m128 frac = _mm_sub_ps(p, _mm_cvtepi32_ps(whole));
        // Two indices per 64-bit move; they are never negative.
        const unsigned long long i01 = static_cast<unsigned long long>(_mm_cvtsi128_si64(whole));
        const unsigned long long i23 = static_cast<unsigned long long>(
            _mm_cvtsi128_si64(_mm_unpackhi_epi64(whole, whole)));
        const auto neighbours = [this](unsigned long long i) {
            return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(table_ + i));
        };
        const __m128 low = _mm_castsi128_ps(
            _mm_unpacklo_epi64(neighbours(i01 & 0xffffffffu), neighbours(i01 >> 32)));
        const __m128 high = _mm_castsi128_ps(
            _mm_unpacklo_epi64(neighbours(i23 & 0xffffffffu), neighbours(i23 >> 32)));
        const __m128 a = _mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 b = _mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1));
        const __m128 inside = _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(b, a), frac));
        return _mm_or_ps(_mm_and_ps(atEnd, end_), _mm_andnot_ps(atEnd, inside));
    }

private:
    const float* table_;
    __m128 last_, inner_, end_;
};

} // namespace kolva::fx::simd
