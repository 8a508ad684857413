// libFuzzer target for the Standard MIDI File reader: any byte string must parse or fail
// with a message, and a successful parse must give time-ordered, finite event times.

#include "host/midi_file.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kolva::host::MidiSong song;
    std::string error;
    if (!kolva::host::parseMidiFile({data, size}, song, error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    double previous = 0.0;
    for (const kolva::host::MidiMessage& m : song.events) {
        if (!std::isfinite(m.seconds) || m.seconds < previous) std::abort();
        if ((m.status & 0x80) == 0 || m.status >= 0xF0 || m.data1 > 0x7F || m.data2 > 0x7F)
            std::abort();
        previous = m.seconds;
    }
    if (!std::isfinite(song.lengthSeconds)) std::abort();
    return 0;
}
