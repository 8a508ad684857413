#include "engine/voice_filter.h"

#include "engine/engine_value.h"
#include "engine/module_matrix.h"
#include "engine/voice_context.h"

#include <algorithm>
#include <cstring>

namespace kolva {
namespace {

constexpr float kNote60 = 60.0f / 127.0f; // key tracking pivots on middle C

void copy(float* out, const float* in, int n) {
    if (in != nullptr)
        std::memcpy(out, in, sizeof(float) * static_cast<std::size_t>(n));
    else
        std::memset(out, 0, sizeof(float) * static_cast<std::size_t>(n));
}

} // namespace

VoiceFilter::VoiceFilter() {
    for (auto& filter : kernels_)
        for (int t = 1; t < flt::kFilterTypes; ++t)
            filter[static_cast<std::size_t>(t)] = flt::makeKernel(static_cast<flt::FilterType>(t));
}

VoiceFilter::~VoiceFilter() = default;

bool VoiceFilter::setBlockSize(SharedVoiceContext& context, int frames) {
    capacity_ = 0;
    lastFrames_ = -1;
    const int n = std::max(frames, 0) + 4;
    bool ok = true;
    for (auto& f : out_)
        for (float*& c : f) ok = (c = context.allocate(n, "lfo")) != nullptr && ok;
    for (float*& c : serial_) ok = (c = context.allocate(n, "flt serial")) != nullptr && ok;
    const char* calcNames[4] = {"flt calcCut", "flt calcRes", "flt calcCut2", "flt calcRes2"};
    for (int k = 0; k < 4; ++k) ok = (calc_[k] = context.allocate(n, calcNames[k])) != nullptr && ok;
    ok = (linkCut_ = context.allocate(n, "flt linkCut")) != nullptr && ok;
    ok = (keyCut_ = context.allocate(n, "flt keyCut")) != nullptr && ok;
    ok = (retrig_ = context.allocate(n, "flt retrigBuff")) != nullptr && ok;
    if (ok) capacity_ = std::max(frames, 0);
    return ok;
}

void VoiceFilter::reset() {
    for (auto& filter : kernels_)
        for (auto& k : filter)
            if (k) k->reset();
}

const float* VoiceFilter::modulated(int param, int frames, const float* base) {
    if (matrix_ == nullptr || param < 0) return base;
    const float* out = matrix_->modulateBuffer(index_, frames, param, base);
    return out != nullptr ? out : base;
}

void VoiceFilter::runFilter(int f, const FilterModuleBlock& m, const float* inL, const float* inR,
                            const float* cut, const float* res, bool silentBefore) {
    const int n = m.frames;
    const int type = m.type[static_cast<std::size_t>(f)];
    const int mode = m.mode[static_cast<std::size_t>(f)];
    flt::FilterKernel* kernel =
        flt::isNamedMode(type, mode) ? kernels_[static_cast<std::size_t>(f)][static_cast<std::size_t>(type)].get()
                                     : nullptr;
    float* outL = out_[static_cast<std::size_t>(f)][0];
    float* outR = out_[static_cast<std::size_t>(f)][1];
    if (kernel == nullptr || inL == nullptr || inR == nullptr) {
        copy(outL, inL, n);
        copy(outR, inR, n);
        return;
    }
    flt::FilterBlock b;
    b.frames = n;
    b.sampleRate = m.sampleRate;
    b.mode = mode;
    b.inL = inL;
    b.inR = inR;
    b.outL = outL;
    b.outR = outR;
    b.cutoff = cut;
    b.resonance = res;
    b.retrig = retrig_;
    b.voiceSilent = silentBefore;
    b.scratch = calc_;
    kernel->process(b);
}

void VoiceFilter::render(const FilterModuleBlock& m, const float* const (&a)[2],
                         const float* const (&b)[2], const float* pitch, const float* gate,
                         bool silentBefore) {
    const int n = std::min(m.frames, capacity_);
    if (n <= 0) return;
    if (n != lastFrames_) {
        const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(capacity_ + 4);
        for (auto& f : out_)
            for (float* c : f) std::memset(c, 0, bytes);
        lastFrames_ = n;
    }
    FilterModuleBlock block = m;
    block.frames = n;

    // Key tracking moves filter 1's cutoff by the key's distance from middle C.
    const float* cut1 = m.cut1;
    if (m.keyTrack != 0.0f && pitch != nullptr) {
        for (int i = 0; i < n; ++i) keyCut_[i] = clampUnit((pitch[i] - kNote60) * m.keyTrack + m.cut1[i]);
        cut1 = keyCut_;
    }
    const float* c1 = modulated(m.paramCut1, n, cut1);
    const float* r1 = modulated(m.paramRes1, n, m.res1);
    const float* c2 = modulated(m.paramCut2, n, m.cut2);
    const float* r2 = modulated(m.paramRes2, n, m.res2);
    const float* bal = modulated(m.paramBalance, n, m.balance);
    if (m.link) {
        // Filter 2's cutoff becomes an offset around filter 1's; 0.5 means equal.
        for (int i = 0; i < n; ++i) linkCut_[i] = clampUnit(2.0f * c2[i] + c1[i] - 1.0f);
        c2 = linkCut_;
    }
    if (gate != nullptr) {
        for (int i = 0; i < n; ++i) retrig_[i] = gate[i] == 1.0f ? 1.0f : 0.0f;
    } else {
        std::memset(retrig_, 0, sizeof(float) * static_cast<std::size_t>(n));
    }

    lastCut_ = {c1, c2};
    runFilter(0, block, a[0], a[1], c1, r1, silentBefore);
    const float* inL = b[0];
    const float* inR = b[1];
    if (!m.parallel) {
        // Serial: filter 2 hears send 2 plus filter 1's output.
        for (int c = 0; c < 2; ++c) {
            const float* send = b[c];
            const float* f1 = out_[0][static_cast<std::size_t>(c)];
            float* s = serial_[static_cast<std::size_t>(c)];
            if (send != nullptr) {
                for (int i = 0; i < n; ++i) s[i] = send[i] + f1[i];
            } else {
                copy(s, f1, n);
            }
        }
        inL = serial_[0];
        inR = serial_[1];
    }
    runFilter(1, block, inL, inR, c2, r2, silentBefore);

    // Balance: filter 1 alone at 0, filter 2 alone at 1; the result replaces filter 1's output.
    for (int c = 0; c < 2; ++c) {
        float* f1 = out_[0][static_cast<std::size_t>(c)];
        const float* f2 = out_[1][static_cast<std::size_t>(c)];
        for (int i = 0; i < n; ++i) f1[i] = f1[i] * (1.0f - bal[i]) + f2[i] * bal[i];
    }
}

} // namespace kolva
