#pragma once
// One voice of the filter section: two filters, each with a kernel of every type (so a type
// change resumes that type's last state), in series or in parallel, blended by the balance.
//
// Threads: setBlockSize at prepare time; render and reset on the audio thread.

#include "engine/filter_kernel.h"
#include "engine/module.h"

#include <array>
#include <memory>

namespace kolva {

// The module's values for one block, the same for every voice.
struct FilterModuleBlock {
    int frames = 0;
    float sampleRate = 44100.0f;
    bool parallel = false;
    bool link = false;
    std::array<int, 2> type{};  // 0..6
    std::array<int, 2> mode{};  // 0..5
    float keyTrack = 0.0f;      // -1.0667..+1.0667
    const float* cut1 = nullptr; // smoothed controls (the matrix's base values)
    const float* res1 = nullptr;
    const float* cut2 = nullptr;
    const float* res2 = nullptr;
    const float* balance = nullptr;
    // Global parameter numbers the matrix knows these controls by (-1 unbound).
    int paramCut1 = -1, paramRes1 = -1, paramCut2 = -1, paramRes2 = -1, paramBalance = -1;
};

class VoiceFilter : public Voice {
public:
    VoiceFilter();
    ~VoiceFilter() override;

    // Carves the voice's buffers (prepare time); false when the arena ran out.
    bool setBlockSize(SharedVoiceContext& context, int frames);
    // Filters the sends a (filter 1) and b (filter 2), each left/right, into the output.
    // pitch: the voice's pitch signal (normalised), gate: its note-start lane; either may be null.
    void render(const FilterModuleBlock& m, const float* const (&a)[2], const float* const (&b)[2],
                const float* pitch, const float* gate, bool silentBefore);
    // Clears every filter state, comb lines included.
    void reset() override;

    float* left() const { return out_[0][0]; }
    float* right() const { return out_[0][1]; }
    // The cutoff filter f (0, 1) used in the last block, after key tracking, modulation and
    // link (inspection).
    const float* lastCutoff(int f) const { return lastCut_[f == 0 ? 0 : 1]; }

private:
    // One filter: the kernel of its type, or a copy for "off" and modes without a name.
    void runFilter(int f, const FilterModuleBlock& m, const float* inL, const float* inR,
                   const float* cut, const float* res, bool silentBefore);
    const float* modulated(int param, int frames, const float* base);

    std::array<std::array<std::unique_ptr<flt::FilterKernel>, flt::kFilterTypes>, 2> kernels_;
    std::array<std::array<float*, 2>, 2> out_{};    // "lfo": filter 1 (the voice output), filter 2
    std::array<float*, 2> serial_{};                // send 2 + filter 1 (serial routing)
    std::array<float*, 4> calc_{};                  // coefficient scratch
    float* linkCut_ = nullptr;
    float* keyCut_ = nullptr;
    float* retrig_ = nullptr;
    std::array<const float*, 2> lastCut_{};
    int capacity_ = 0;
    int lastFrames_ = -1;
};

} // namespace kolva
