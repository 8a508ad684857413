#pragma once
// The context shared by all modules of one engine: the audio memory arena that every
// per-voice and per-block buffer is carved from, and a few values the voice modules share.
//
// Threads: the arena is re-created and carved only at prepare time (host main thread, never
// while a block renders; the plug-in core guarantees that). The shared values are read and
// written on the audio thread.

#include "platform/mutex.h"

#include "engine/engine_context.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kolva {

class SharedVoiceContext : public Mutex {
public:
    SharedVoiceContext() = default;
    ~SharedVoiceContext() override;

    // Drops every carved buffer and creates a fresh arena of `bytes`. False when the memory
    // cannot be had (the arena is then empty and every allocate() answers nullptr).
    bool recreateArena(std::size_t bytes);

    // Carves a zeroed buffer of `frames` floats (plus 16 spare bytes, 16-byte aligned) and
    // registers it under `name`. nullptr when the arena is missing or full.
    float* allocate(int frames, const char* name);

    std::size_t arenaSize() const { return arenaSize_; }
    std::size_t arenaUsed() const { return fill_; }

    struct NamedBuffer {
        std::string name;
        float* data;
        int frames;
    };
    const std::vector<NamedBuffer>& buffers() const { return registry_; }

    // Values shared by the voice modules.
    float tempo = 120.0f;
    std::int32_t modeInEffect = 4; // written by the MIDI module
    std::int32_t polyVoiceCount = 1;
    std::int32_t antiClick = 1;
    float sampleRate = -1.0f;
    std::int32_t blockSize = 0;
    float noteRandom1 = 0.0f; // per-note random values drawn at each note-on
    float noteRandom2 = 0.0f;

    // Shared voice state. voiceActive: set by the poly handler when a note starts on a voice,
    // cleared by the MIDI module once that voice's note is released and its amplitude
    // envelope has finished. ampEnvelopeActive: written by env1 at the end of every block
    // (1 while the voice's amplitude envelope is not idle).
    std::array<std::int32_t, kNumVoices> voiceActive{};
    std::array<std::int32_t, kNumVoices> ampEnvelopeActive{};

    // Clock seconds of the latest and the one before it note-on (the oscillators' analog phase
    // rule looks at the gap between them).
    double lastNoteOnTime = -1.0e9;
    double previousNoteOnTime = -1.0e9;
    // 1 for a voice whose amplitude envelope was idle when the block began: a note starting
    // on it needs no anti-click cross-fade.
    std::array<std::int32_t, kNumVoices> silentBeforeBlock{};

    bool polyModeInEffect() const { return !isMonoMode(modeInEffect); }
    // Calls fn(v) for every voice the per-voice modules render this block: the sounding poly
    // voices in the polyphonic modes, otherwise the mono voice when it sounds.
    template <class Fn> void forEachSoundingVoice(Fn&& fn) const {
        if (polyModeInEffect()) {
            for (int v = 0; v < kPolyVoices; ++v)
                if (voiceSounding(v)) fn(v);
        } else if (voiceSounding(kMonoVoice)) {
            fn(kMonoVoice);
        }
    }
    // Whether voice v has to be rendered this block by the per-voice modules.
    bool voiceSounding(int v) const { return voiceActive[v] != 0 || ampEnvelopeActive[v] != 0; }

private:
    struct FreeDeleter {
        void operator()(std::byte* p) const;
    };
    std::unique_ptr<std::byte[], FreeDeleter> arena_;
    std::size_t arenaSize_ = 0;
    std::size_t fill_ = 0;
    std::vector<NamedBuffer> registry_;
};

} // namespace kolva
