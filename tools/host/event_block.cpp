#include "host/event_block.h"

#include "core/vst/vst_abi.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace kolva::host {

// The 64-bit interface's event layout, which fst.h declares partly by guesswork.
static_assert(sizeof(VstMidiEvent) == 32 && offsetof(VstMidiEvent, midiData) == 24);
static_assert(sizeof(void*) != 8 || offsetof(VstEvents, events) == 16);

void EventBlock::FreeDeleter::operator()(VstEvents* p) const {
    std::free(p);
}

EventBlock::EventBlock(std::size_t capacity) : midi_(capacity == 0 ? 1 : capacity) {
    // VstEvents ends in an open array of event pointers.
    std::size_t bytes = offsetof(VstEvents, events) + midi_.size() * sizeof(VstEvent*);
    header_.reset(static_cast<VstEvents*>(std::calloc(1, bytes)));
    if (!header_) throw std::bad_alloc();
    for (std::size_t i = 0; i < midi_.size(); ++i)
        header_->events[i] = reinterpret_cast<VstEvent*>(&midi_[i]);
}

void EventBlock::clear() {
    count_ = 0;
    header_->numEvents = 0;
}

bool EventBlock::add(int deltaFrames, std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
    if (count_ >= midi_.size()) return false;
    VstMidiEvent& e = midi_[count_++];
    e = VstMidiEvent{};
    e.type = static_cast<decltype(e.type)>(vst::kMidiEventType);
    e.byteSize = sizeof(VstMidiEvent);
    e.deltaFrames = deltaFrames;
    e.midiData[0] = status;
    e.midiData[1] = data1;
    e.midiData[2] = data2;
    header_->numEvents = static_cast<int>(count_);
    return true;
}

} // namespace kolva::host
