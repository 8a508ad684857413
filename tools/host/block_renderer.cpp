#include "host/block_renderer.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace kolva::host {

namespace {

double threadCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The largest number of frames-sorted entries inside any window of `width` frames.
template <typename T> std::size_t densestWindow(const std::vector<T>& sorted, std::int64_t width) {
    std::size_t best = 0;
    std::size_t first = 0;
    for (std::size_t last = 0; last < sorted.size(); ++last) {
        while (sorted[last].frame - sorted[first].frame >= width)
            ++first;
        best = std::max(best, last - first + 1);
    }
    return best;
}

} // namespace

std::vector<BlockRenderer::Scheduled> BlockRenderer::schedule(std::span<const MidiMessage> messages,
                                                              double sampleRate) {
    std::vector<Scheduled> out;
    out.reserve(messages.size());
    for (const MidiMessage& m : messages) {
        // Clamped so that absurd times cannot overflow the frame counter.
        double frame = std::clamp(std::round(m.seconds * sampleRate), 0.0, 1e15);
        out.push_back({static_cast<std::int64_t>(frame), m});
    }
    return out;
}

BlockRenderer::BlockRenderer(PluginHost& host, const TempoMap& tempo,
                             std::span<const MidiMessage> messages)
    : host_(host), tempo_(tempo), sampleRate_(host.sampleRate()),
      blockSize_(std::max(1, host.blockSize())), messages_(schedule(messages, sampleRate_)),
      // Room for the busiest stretch of one block, wherever block boundaries fall.
      events_(densestWindow(messages_, blockSize_)) {
    auto channels = [](int n) { return static_cast<std::size_t>(std::max(n, 1)); };
    const AEffect& e = host.effect();
    inputs_.assign(channels(e.numInputs), std::vector<float>(blockSize_, 0.0f));
    outputs_.assign(channels(e.numOutputs), std::vector<float>(blockSize_, 0.0f));
    for (auto& b : inputs_)
        inputPtrs_.push_back(b.data());
    for (auto& b : outputs_)
        outputPtrs_.push_back(b.data());
}

void BlockRenderer::renderBlock(int frames) {
    frames = std::clamp(frames, 1, blockSize_);
    double seconds = static_cast<double>(position_) / sampleRate_;
    host_.setTransport(position_, tempo_.beatsAt(seconds), tempo_.tempoAt(seconds));

    events_.clear();
    const std::int64_t end = position_ + frames;
    while (next_ < messages_.size() && messages_[next_].frame < end) {
        const Scheduled& s = messages_[next_];
        // Cannot overfill (capacity covers any block-long window); a guard all the same.
        int delta = static_cast<int>(std::max<std::int64_t>(0, s.frame - position_));
        if (!events_.add(delta, s.message.status, s.message.data1, s.message.data2)) break;
        ++next_;
    }
    for (auto& b : inputs_)
        std::fill_n(b.begin(), frames, 0.0f);
    for (auto& b : outputs_)
        std::fill_n(b.begin(), frames, 0.0f);

    double before = threadCpuSeconds();
    host_.processEvents(events_.events());
    host_.processReplacing(inputPtrs_.data(), outputPtrs_.data(), frames);
    cpuSeconds_ += threadCpuSeconds() - before;
    position_ = end;
}

} // namespace kolva::host
