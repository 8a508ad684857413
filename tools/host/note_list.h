#pragma once
// Note lists given on the command line, e.g. "60@0+1:100, 64@0.5+1.5, C4@2+1":
// items separated by commas, each NOTE@START+DURATION[:VELOCITY]. NOTE is a MIDI note
// number (0-127) or a name (C4 = 60, A4 = 69; sharps "#", flats "b"; octaves -1 to 9);
// START and DURATION are seconds; VELOCITY is 1-127, default 100.

#include "host/midi_file.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kolva::host {

struct NoteSpec {
    int note = 60;
    double start = 0.0;
    double duration = 0.0;
    int velocity = 100;
};

inline constexpr int kDefaultNoteVelocity = 100;

// Parses a whole list. On failure returns false and sets `error` to a one-line message
// naming the offending item.
bool parseNoteList(std::string_view text, std::vector<NoteSpec>& notes, std::string& error);

// A note name such as "C4", "F#2", "Bb-1", or a plain number; -1 when invalid or out of range.
int parseNoteName(std::string_view text);

// Note-on and note-off messages on MIDI channel 1 for every note, sorted by time with
// note-offs first at equal times.
std::vector<MidiMessage> noteListMessages(std::span<const NoteSpec> notes);

} // namespace kolva::host
