#pragma once
// The VstEvents block handed to effProcessEvents: a header and a fixed number of
// VstMidiEvent entries, allocated once so that filling it per audio block never allocates.

#include <fst.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace kolva::host {

class EventBlock {
public:
    explicit EventBlock(std::size_t capacity);

    void clear();
    // Appends one MIDI message; false (and nothing added) when the block is full.
    bool add(int deltaFrames, std::uint8_t status, std::uint8_t data1, std::uint8_t data2);

    std::size_t size() const { return count_; }
    std::size_t capacity() const { return midi_.size(); }
    VstEvents* events() { return header_.get(); }
    const VstMidiEvent& midi(std::size_t i) const { return midi_[i]; }

private:
    struct FreeDeleter {
        void operator()(VstEvents* p) const;
    };
    std::unique_ptr<VstEvents, FreeDeleter> header_;
    std::vector<VstMidiEvent> midi_;
    std::size_t count_ = 0;
};

} // namespace kolva::host
