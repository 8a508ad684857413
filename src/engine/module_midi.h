#pragma once
// Voice allocation and per-voice pitch/velocity/key signals (module 0, "midi").
// The key stack (monophonic voice 16) and the poly handler (voices 0..15) assign notes to
// voices; each voice renders its signal buffers once per block.

#include "engine/module.h"

namespace kolva {

class ModuleMidi : public ModulePoly {
public:
    // Per-voice output buffers, in getModOutput order.
    enum Output {
        kOutVelocity,
        kOutVelocityComplement,
        kOutPitch,
        kOutKeyFollow,
        kOutRandomBipolar,
        kOutRandomUnipolar,
        kNumOutputs
    };

    void setParameter(int slot, float value) override;

    // Note entries; offsets are frames within the current block.
    void noteOn(int offset, int note, int velocity);
    void noteOff(int offset, int note);
    void polyNoteOff(int offset, int note);
    void monoNoteOff(int offset, int note);
    // Before a block's MIDI events: rewind every voice's event ring.
    void beginBlockEvents();
    void resetVoiceBuffers();
    void clearKeyTables();
    // Pitch-bend position -1..1 (scaled by the bend ranges).
    void setBend(float bend);
    float bend() const { return bend_; }

    int mode() const { return mode_; }
    int polyCount() const { return polyCount_; }

protected:
    std::string voiceLabel() const override { return "voice midi"; }

private:
    int mode_ = kModePoly1;
    int polyCount_ = 1;
    float bend_ = 0.0f;
};

} // namespace kolva
