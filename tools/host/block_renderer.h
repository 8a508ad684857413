#pragma once
// Drives a loaded plug-in block by block: before each block it moves the host transport
// along the tempo map, sends the MIDI messages that fall into the block with their frame
// offsets, then calls processReplacing. All buffers are sized in the constructor; a
// block renders without allocating. Used by the render tool, the benchmark and the tests.

#include "host/event_block.h"
#include "host/midi_file.h"
#include "host/tempo_map.h"
#include "host/vst_host.h"

#include <cstdint>
#include <span>
#include <vector>

namespace kolva::host {

class BlockRenderer {
public:
    // `host` must already be open with its sample rate and block size set; `messages`
    // must be sorted by time (sortByTime); both are copied.
    BlockRenderer(PluginHost& host, const TempoMap& tempo, std::span<const MidiMessage> messages);

    // Renders the next `frames` samples (1..block size).
    void renderBlock(int frames);

    // Left and right output of the last block: a mono plug-in feeds both, a plug-in with
    // more outputs gives its first two.
    const float* left() const { return outputs_[0].data(); }
    const float* right() const { return outputs_[outputs_.size() > 1 ? 1 : 0].data(); }

    std::int64_t position() const { return position_; }
    int blockSize() const { return blockSize_; }
    // Thread CPU time spent inside processEvents and processReplacing.
    double cpuSeconds() const { return cpuSeconds_; }
    // How many messages one block can carry (the most that fall into any span of one block).
    std::size_t eventCapacity() const { return events_.capacity(); }
    bool allMessagesSent() const { return next_ == messages_.size(); }

private:
    struct Scheduled {
        std::int64_t frame;
        MidiMessage message;
    };
    static std::vector<Scheduled> schedule(std::span<const MidiMessage> messages,
                                           double sampleRate);

    PluginHost& host_;
    TempoMap tempo_;
    double sampleRate_;
    int blockSize_;
    std::vector<Scheduled> messages_;
    std::size_t next_ = 0;
    EventBlock events_;
    std::vector<std::vector<float>> inputs_;
    std::vector<std::vector<float>> outputs_;
    std::vector<float*> inputPtrs_;
    std::vector<float*> outputPtrs_;
    std::int64_t position_ = 0;
    double cpuSeconds_ = 0.0;
};

} // namespace kolva::host
