#include "engine/module_matrix.h"

#include "engine/module_matrix_tables.h"
#include "engine/voice_context.h"

#include <algorithm>
#include <cmath>

namespace kolva {
namespace {

using matrix_tables::tables;

// Destinations that modulate amounts rather than parameters: the slot amounts and the
// envelopes' and LFOs' own routing amounts.
bool isAmountDestination(int code) {
    if (code >= 155 && code <= 214) return true;
    for (int base : {56, 64, 72, 80, 87, 94, 101, 108})
        if (code == base || code == base + 1) return true;
    return false;
}

// Tier of a routing: destinations read through voice 16 (global ones) need tier 2.
int tierOf(int code, int lastGlobal) {
    return ((code >= 82 && code <= 154) || (code >= 215 && code <= lastGlobal)) ? 2 : 1;
}

int codeFrom(float v, int maxCode) {
    const int k = static_cast<int>(v * 999.99f);
    return (k < 0 || k > maxCode) ? 0 : k;
}

inline float clamp01(float x) { return x > 0.0f ? (x < 1.0f ? x : 1.0f) : 0.0f; } // NaN -> 0

// a[i] *= the velocity factor of amount w: 1 - w + w P (w > 0) or 1 - |w| + |w| Q (w < 0).
// A missing P reads as velocity 0, a missing Q as 1.
void scaleByVelocity(float* a, int n, float w, const float* p, const float* q) {
    if (w > 0.0f && p)
        for (int i = 0; i < n; ++i) a[i] *= 1.0f - w + w * p[i];
    else if (w > 0.0f)
        for (int i = 0; i < n; ++i) a[i] *= 1.0f - w;
    else if (w < 0.0f && q)
        for (int i = 0; i < n; ++i) a[i] *= 1.0f + w - w * q[i];
}

} // namespace

ModuleMatrix::ModuleMatrix() {
    for (auto& p : slotParams_) p.store(0.0f, std::memory_order_relaxed);
    for (auto& p : directParams_) p.store(0.0f, std::memory_order_relaxed);
    // The process-wide tables are built here, never on the audio thread's first lookup.
    (void)tables();
    // The direct slots carry the envelopes' and LFOs' own routings.
    for (int r = 0; r < kDirectRows; ++r) slots_[kFirstDirectRow + r].sourceA.store(4 + r);
}

// ---- slot parameters ----

void ModuleMatrix::setSlotParameter(int i, float value) {
    if (i < 0 || i >= kUserSlots * kSlotParams) return;
    slotParams_[i].store(value, std::memory_order_relaxed);
    Slot& s = slots_[i / kSlotParams];
    const int pos = i % kSlotParams;
    switch (pos) {
    case 0: s.sourceA.store(codeFrom(value, 32) - 1, std::memory_order_relaxed); break;
    case 1: s.sourceB.store(codeFrom(value, 32) - 1, std::memory_order_relaxed); break;
    case 2: case 4: case 6: case 8:
        s.amount[(pos - 2) / 2].store(value, std::memory_order_relaxed);
        break;
    default: s.destination[(pos - 3) / 2].store(codeFrom(value, kDestinations), std::memory_order_relaxed);
    }
}

void ModuleMatrix::setDirectParameter(int row, int pos, float value) {
    const int r = row - kFirstDirectRow;
    if (r < 0 || r >= kDirectRows || pos < 0 || pos >= kDirectParams) return;
    directParams_[r * kDirectParams + pos].store(value, std::memory_order_relaxed);
    Slot& s = slots_[row];
    const int k = pos / 3; // first or second routing
    switch (pos % 3) {
    case 0: s.destination[k].store(codeFrom(value, kDestinations), std::memory_order_relaxed); break;
    case 1: s.amount[k].store(value, std::memory_order_relaxed); break;
    default: s.velocity[k].store((value - 0.5f) * 2.0f, std::memory_order_relaxed); break;
    }
}

float ModuleMatrix::slotParameter(int i) const {
    return (i >= 0 && i < kUserSlots * kSlotParams) ? slotParams_[i].load(std::memory_order_relaxed)
                                                    : 0.0f;
}

float ModuleMatrix::directParameter(int row, int pos) const {
    const int r = row - kFirstDirectRow;
    if (r < 0 || r >= kDirectRows || pos < 0 || pos >= kDirectParams) return 0.0f;
    return directParams_[r * kDirectParams + pos].load(std::memory_order_relaxed);
}

// ---- routing ----

void ModuleMatrix::fillTier(int s, int tier) {
    if (s >= 0 && s < kSources && tiers_[s] < tier) tiers_[s] = tier;
}

void ModuleMatrix::rebuild() {
    for (auto& d : destinations_) {
        d.active = 0;
        d.count = 0;
    }
    tiers_.fill(0);

    // A consistent copy of the slots: they may change on another thread meanwhile.
    struct Snapshot {
        int a, b;
        int dest[4];
        float amount[4];
        float velocity[4];
    };
    std::array<Snapshot, kSlots> snap{};
    for (int i = 0; i < kSlots; ++i) {
        const Slot& s = slots_[i];
        Snapshot& c = snap[i];
        c.a = s.sourceA.load(std::memory_order_relaxed);
        c.b = s.sourceB.load(std::memory_order_relaxed);
        for (int k = 0; k < 4; ++k) {
            c.dest[k] = s.destination[k].load(std::memory_order_relaxed);
            c.amount[k] = s.amount[k].load(std::memory_order_relaxed);
            // Only the direct slots have velocity amounts, one per routing.
            c.velocity[k] = (i >= kFirstDirectRow && k < 2) ? s.velocity[k].load(std::memory_order_relaxed) : 0.0f;
        }
    }

    // Pass 1: routings to parameters.
    for (const Snapshot& c : snap) {
        if (c.a < 0 && c.b < 0) continue;
        for (int k = 0; k < 4; ++k) {
            const int d = c.dest[k];
            if (d == 0 || isAmountDestination(d)) continue;
            const int tier = tierOf(d, 223);
            Destination& rec = destinations_[d - 1];
            for (int src : {c.a, c.b}) {
                if (src < 0) continue;
                if (rec.count < kMaxEntries) {
                    Entry& e = rec.entries[rec.count++];
                    e.source = src;
                    e.amount = (c.amount[k] - 0.5f) * 2.0f;
                    e.velocity = c.velocity[k];
                    e.modulatorCount = 0;
                    rec.active = 1;
                }
                fillTier(src, tier);
            }
        }
    }

    // Pass 2: routings to other routings' amounts.
    for (const Snapshot& c : snap) {
        if (c.a < 0 && c.b < 0) continue;
        for (int k = 0; k < 4; ++k) {
            const int d = c.dest[k];
            int target = -1, position = -1;
            if (d >= 155 && d <= 214) {
                target = (d - 155) / 4;
                position = (d - 155) % 4;
            } else if (d >= 56 && d <= 81 && ((d - 56) % 8) < 2) {
                target = kFirstDirectRow + (d - 56) / 8;
                position = (d - 56) % 8;
            } else if (d >= 87 && d <= 109 && ((d - 87) % 7) < 2) {
                target = kFirstDirectRow + 4 + (d - 87) / 7;
                position = (d - 87) % 7;
            } else {
                continue;
            }
            const Snapshot& t = snap[target];
            const int td = t.dest[position];
            if (td == 0) continue;
            Destination& rec = destinations_[td - 1];
            for (int i = 0; i < rec.count; ++i) {
                Entry& e = rec.entries[i];
                if (e.source != t.a && e.source != t.b) continue;
                if (e.modulatorCount >= kMaxModulators) continue;
                e.modulators[e.modulatorCount++] = {c.amount[k] * 2.0f - 1.0f, c.velocity[k], c.a, c.b};
            }
            const int tier = tierOf(d, 220);
            fillTier(c.a, tier);
            fillTier(c.b, tier);
        }
    }
    ++rebuildCount_;
}

int ModuleMatrix::sourceTier(int s) const { return (s >= 0 && s < kSources) ? tiers_[s] : 0; }

bool ModuleMatrix::isSourceUsed(int position) const { return sourceTier(position - 2) > 0; }

bool ModuleMatrix::isModulated(int param) const {
    const int d = destinationOf(param);
    return d >= 0 && destinations_[d].count > 0;
}

int ModuleMatrix::entryCount(int code) const {
    return (code >= 1 && code <= kDestinations) ? destinations_[code - 1].count : 0;
}

// ---- sources ----

void ModuleMatrix::setSource(int position, float* const* voices) {
    if (position >= 0 && position < kSourcePositions) sources_[position] = voices;
}

float* const* ModuleMatrix::source(int position) const {
    if (position == kPosConstant10) return constant10_[0] ? constant10_.data() : nullptr;
    if (position == kPosConstant50) return constant50_[0] ? constant50_.data() : nullptr;
    return (position >= 0 && position < kSourcePositions) ? sources_[position] : nullptr;
}

void ModuleMatrix::setVelocitySources(float* const* velocity, float* const* complement) {
    velocity_ = velocity;
    velocityComplement_ = complement;
}

const float* ModuleMatrix::sourceVoice(int s, int voice) const {
    if (s < 0 || s >= kSources || voice < 0 || voice >= kNumVoices) return nullptr;
    float* const* arr = source(s + 2);
    return arr != nullptr ? arr[voice] : nullptr;
}

// ---- amounts ----

int ModuleMatrix::destinationOf(int param) {
    return (param >= 0 && param < 725) ? tables().destinationOfParam[param] : -1;
}

int ModuleMatrix::curveKindOf(int param) {
    return (param >= 0 && param < 725) ? tables().curveKindOfParam[param] : 0;
}

float ModuleMatrix::amountCurve(int kind, float a) {
    switch (kind) {
    case 0:
    case 1:
    case 2: {
        const auto& t = tables().curves[kind];
        const float x = std::clamp((a + 1.0f) * 0.5f * 31.0f, 0.0f, 31.0f);
        const int i = std::min(static_cast<int>(x), 30);
        return t[i] + (t[i + 1] - t[i]) * (x - static_cast<float>(i));
    }
    case 3: return a;
    case 4: return 2.0f * a;
    case 5: return 4.0f * a;
    default: return a;
    }
}

float ModuleMatrix::velocityFactor(float w, float p, float q) {
    if (w > 0.0f) return 1.0f - w + w * p;
    if (w < 0.0f) return 1.0f + w - w * q; // 1 - |w| + |w| q
    return 1.0f;
}

float ModuleMatrix::entryAmount(const Entry& e, int kind, int voice, int sample) const {
    const float* p = velocity_ ? velocity_[voice] : nullptr;
    const float* q = velocityComplement_ ? velocityComplement_[voice] : nullptr;
    const float pv = p ? p[sample] : 0.0f;
    const float qv = q ? q[sample] : 1.0f;
    float a = amountCurve(kind, e.amount);
    for (int m = 0; m < e.modulatorCount; ++m) {
        const Modulator& mod = e.modulators[m];
        const float c = amountCurve(0, mod.amount);
        if (const float* sa = sourceVoice(mod.sourceA, voice)) a += c * sa[sample];
        if (const float* sb = sourceVoice(mod.sourceB, voice)) a += c * sb[sample];
        a *= velocityFactor(mod.velocity, pv, qv);
    }
    return a * velocityFactor(e.velocity, pv, qv);
}

bool ModuleMatrix::entryAmounts(const Entry& e, int kind, int voice, int n, float* constant) const {
    const float base = amountCurve(kind, e.amount);
    if (e.modulatorCount == 0 && e.velocity == 0.0f) {
        *constant = base;
        return false;
    }
    const float* p = velocity_ ? velocity_[voice] : nullptr;
    const float* q = velocityComplement_ ? velocityComplement_[voice] : nullptr;
    float* a = amounts_;
    for (int i = 0; i < n; ++i) a[i] = base;
    for (int m = 0; m < e.modulatorCount; ++m) {
        const Modulator& mod = e.modulators[m];
        const float c = amountCurve(0, mod.amount);
        if (const float* sa = sourceVoice(mod.sourceA, voice))
            for (int i = 0; i < n; ++i) a[i] += c * sa[i];
        if (const float* sb = sourceVoice(mod.sourceB, voice))
            for (int i = 0; i < n; ++i) a[i] += c * sb[i];
        scaleByVelocity(a, n, mod.velocity, p, q);
    }
    scaleByVelocity(a, n, e.velocity, p, q);
    return true;
}

// ---- evaluation ----

float ModuleMatrix::modulateScalar(int voice, int n, int param, float base) const {
    const int d = destinationOf(param);
    if (d < 0 || n < 2 || voice < 0 || voice >= kNumVoices) return base;
    const Destination& rec = destinations_[d];
    if (rec.count == 0) return base;
    const int kind = curveKindOf(param);
    float sum = 0.0f;
    for (int i = 0; i < rec.count; ++i) {
        const Entry& e = rec.entries[i];
        const float* src = sourceVoice(e.source, voice);
        if (src == nullptr) continue;
        sum += entryAmount(e, kind, voice, n - 2) * (src[0] + src[n - 1]) * 0.5f;
    }
    return clamp01(base + sum);
}

float ModuleMatrix::modulateScalarMax(int voice, int n, int param) const {
    const int d = destinationOf(param);
    if (d < 0 || n < 2 || voice < 0 || voice >= kNumVoices) return 0.0f;
    const Destination& rec = destinations_[d];
    if (rec.count == 0) return 0.0f;
    const int kind = curveKindOf(param);
    float sum = 0.0f;
    for (int i = 0; i < rec.count; ++i) {
        const Entry& e = rec.entries[i];
        const float* src = sourceVoice(e.source, voice);
        if (src == nullptr) continue;
        sum += entryAmount(e, kind, voice, n - 2) * std::max(src[0], src[n - 1]);
    }
    return clamp01(sum);
}

const float* ModuleMatrix::sumInto(int voice, int n, int param, const float* base, int which,
                                   bool clampResult) {
    const int d = destinationOf(param);
    if (d < 0 || n < 2 || voice < 0 || voice >= kNumVoices || amounts_ == nullptr) return base;
    const Destination& rec = destinations_[d];
    if (rec.count == 0) return base;
    float* out = outputs_[d + 1][which];
    if (out == nullptr || n > blockFrames_) return base;
    const int kind = curveKindOf(param);
    for (int i = 0; i < n; ++i) out[i] = base[i];
    for (int k = 0; k < rec.count; ++k) {
        const Entry& e = rec.entries[k];
        const float* src = sourceVoice(e.source, voice);
        if (src == nullptr) continue;
        float a = 0.0f;
        if (entryAmounts(e, kind, voice, n, &a)) {
            const float* am = amounts_;
            for (int i = 0; i < n; ++i) out[i] += am[i] * src[i];
        } else {
            for (int i = 0; i < n; ++i) out[i] += a * src[i];
        }
    }
    if (clampResult)
        for (int i = 0; i < n; ++i) out[i] = clamp01(out[i]);
    return out;
}

const float* ModuleMatrix::modulateBuffer(int voice, int n, int param, const float* base) {
    return sumInto(voice, n, param, base, 0, true);
}

const float* ModuleMatrix::modulateAdd(int voice, int n, int param, const float* base) {
    return sumInto(voice, n, param, base, 1, false);
}

// ---- buffers ----

void ModuleMatrix::setBlockSize(int frames) {
    for (int code = 1; code <= kDestinations; ++code)
        for (int k = 0; k < 2; ++k) outputs_[code][k] = voiceContext_->allocate(frames + 4, "mtrx out");
    amounts_ = voiceContext_->allocate(frames + 4, "mtrx amount");
    float* c10 = voiceContext_->allocate(frames + 4, "mtrx const 10%");
    float* c50 = voiceContext_->allocate(frames + 4, "mtrx const 50%");
    for (int i = 0; c10 && c50 && i < frames + 4; ++i) {
        c10[i] = 0.1f;
        c50[i] = 0.5f;
    }
    constant10_.fill(c10);
    constant50_.fill(c50);
    blockFrames_ = frames;
}

float* ModuleMatrix::destinationOutput(int code, int which) const {
    if (code < 1 || code > kDestinations || which < 0 || which > 1) return nullptr;
    return outputs_[code][which];
}

} // namespace kolva
