#include "engine/module_matrix.h"

#include "engine/voice_context.h"

namespace kolva {

ModuleMatrix::ModuleMatrix() {
    for (auto& p : slotParams_) p.store(0.0f, std::memory_order_relaxed);
    for (auto& p : directParams_) p.store(0.0f, std::memory_order_relaxed);
}

void ModuleMatrix::setSlotParameter(int i, float value) {
    if (i >= 0 && i < kUserSlots * kSlotParams) slotParams_[i].store(value, std::memory_order_relaxed);
}

void ModuleMatrix::setDirectParameter(int row, int pos, float value) {
    int r = row - kFirstDirectRow;
    if (r >= 0 && r < kDirectRows && pos >= 0 && pos < kDirectParams)
        directParams_[r * kDirectParams + pos].store(value, std::memory_order_relaxed);
}

float ModuleMatrix::slotParameter(int i) const {
    return (i >= 0 && i < kUserSlots * kSlotParams) ? slotParams_[i].load(std::memory_order_relaxed)
                                                    : 0.0f;
}

float ModuleMatrix::directParameter(int row, int pos) const {
    int r = row - kFirstDirectRow;
    if (r < 0 || r >= kDirectRows || pos < 0 || pos >= kDirectParams) return 0.0f;
    return directParams_[r * kDirectParams + pos].load(std::memory_order_relaxed);
}

void ModuleMatrix::rebuild() {
    // The routing itself (tiers, amount curves, evaluation) is computed here once the matrix
    // evaluates modulation; until then no source is read by any destination.
    sourceUsed_.fill(false);
    ++rebuildCount_;
}

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

bool ModuleMatrix::isSourceUsed(int position) const {
    return position >= 0 && position < kSourcePositions && sourceUsed_[position];
}

void ModuleMatrix::setBlockSize(int frames) {
    for (int code = 1; code <= kDestinations; ++code)
        for (int k = 0; k < 2; ++k) outputs_[code][k] = voiceContext_->allocate(frames + 4, "mtrx out");
    float* c10 = voiceContext_->allocate(frames + 4, "mtrx const 10%");
    float* c50 = voiceContext_->allocate(frames + 4, "mtrx const 50%");
    for (int i = 0; c10 && c50 && i < frames + 4; ++i) {
        c10[i] = 0.1f;
        c50[i] = 0.5f;
    }
    constant10_.fill(c10);
    constant50_.fill(c50);
}

float* ModuleMatrix::destinationOutput(int code, int which) const {
    if (code < 1 || code > kDestinations || which < 0 || which > 1) return nullptr;
    return outputs_[code][which];
}

} // namespace kolva
