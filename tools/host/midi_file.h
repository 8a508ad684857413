#pragma once
// Standard MIDI File reader for the render host. Reads type 0 and type 1 files (type 2 is
// refused), applies the tempo map of all tracks and returns the channel messages in time
// order with absolute times in seconds. Files are untrusted: every length is checked and
// bad input gives an error message, never a crash.

#include "host/tempo_map.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kolva::host {

// One channel message: status byte (with channel) and up to two data bytes.
struct MidiMessage {
    double seconds = 0.0;
    std::uint8_t status = 0;
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;

    int kind() const { return status & 0xF0; }
    bool isNoteOff() const { return kind() == 0x80 || (kind() == 0x90 && data2 == 0); }
};

struct MidiSong {
    int format = 0;
    int trackCount = 0;
    std::vector<MidiMessage> events; // sorted by time; note-offs first at equal times
    TempoMap tempo;                  // 120 bpm until the file says otherwise
    double lengthSeconds = 0.0;      // the latest event or end-of-track marker
};

// Stable sort by time; at equal times note-offs go first, so a note ended and struck again
// at the same instant (often from two tracks) is not cut off by its own release.
void sortByTime(std::vector<MidiMessage>& messages);

// Files larger than this are refused before reading.
inline constexpr std::size_t kMaxMidiFileBytes = 64u << 20;

// Parses a whole file image. On failure returns false and sets `error` to a one-line
// message; `song` is then unspecified.
bool parseMidiFile(std::span<const std::uint8_t> bytes, MidiSong& song, std::string& error);

// Reads and parses the file at `path`.
bool readMidiFile(const std::string& path, MidiSong& song, std::string& error);

} // namespace kolva::host
