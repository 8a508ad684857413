#include "host/note_list.h"

#include "util/number_text.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace kolva::host {

namespace {


bool parseInt(std::string_view text, int& out) {
    text = trimSpace(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    auto r = std::from_chars(text.data(), text.data() + text.size(), out);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

bool parseItem(std::string_view item, NoteSpec& note, std::string& why) {
    std::size_t at = item.find('@');
    if (at == std::string_view::npos) {
        why = "missing '@START'";
        return false;
    }
    std::size_t plus = item.find('+', at + 1);
    if (plus == std::string_view::npos) {
        why = "missing '+DURATION'";
        return false;
    }
    std::size_t colon = item.find(':', plus + 1);

    note.note = parseNoteName(item.substr(0, at));
    if (note.note < 0) {
        why = "note must be 0-127 or a name such as C4 or F#3";
        return false;
    }
    auto start = parseDouble(item.substr(at + 1, plus - at - 1));
    if (!start || !std::isfinite(*start) || *start < 0.0) {
        why = "start must be a number of seconds >= 0";
        return false;
    }
    std::string_view durationText = colon == std::string_view::npos
                                        ? item.substr(plus + 1)
                                        : item.substr(plus + 1, colon - plus - 1);
    auto duration = parseDouble(durationText);
    if (!duration || !std::isfinite(*duration) || *duration <= 0.0) {
        why = "duration must be a number of seconds > 0";
        return false;
    }
    note.start = *start;
    note.duration = *duration;
    note.velocity = kDefaultNoteVelocity;
    if (colon != std::string_view::npos) {
        if (!parseInt(item.substr(colon + 1), note.velocity) || note.velocity < 1 ||
            note.velocity > 127) {
            why = "velocity must be 1-127";
            return false;
        }
    }
    return true;
}

} // namespace

int parseNoteName(std::string_view text) {
    text = trimSpace(text);
    if (text.empty()) return -1;
    int number = 0;
    if (std::isdigit(static_cast<unsigned char>(text.front()))) {
        return parseInt(text, number) && number >= 0 && number <= 127 ? number : -1;
    }
    static constexpr int kSemitone[7] = {9, 11, 0, 2, 4, 5, 7}; // A B C D E F G
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text.front())));
    if (letter < 'A' || letter > 'G') return -1;
    int semitone = kSemitone[letter - 'A'];
    text.remove_prefix(1);
    if (!text.empty() && (text.front() == '#' || text.front() == 'b')) {
        semitone += text.front() == '#' ? 1 : -1;
        text.remove_prefix(1);
    }
    int octave = 0;
    if (text.empty() || !parseInt(text, octave) || octave < -1 || octave > 9) return -1;
    int note = (octave + 1) * 12 + semitone;
    return note >= 0 && note <= 127 ? note : -1;
}

bool parseNoteList(std::string_view text, std::vector<NoteSpec>& notes, std::string& error) {
    notes.clear();
    int index = 0;
    while (true) {
        std::size_t comma = text.find(',');
        std::string_view item = trimSpace(text.substr(0, comma));
        ++index;
        if (item.empty()) {
            error = "note list item " + formatInt(index) + " is empty";
            return false;
        }
        NoteSpec note;
        std::string why;
        if (!parseItem(item, note, why)) {
            error = "note list item " + formatInt(index) + " \"" + std::string(item) + "\": " + why;
            return false;
        }
        notes.push_back(note);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return true;
}

std::vector<MidiMessage> noteListMessages(std::span<const NoteSpec> notes) {
    std::vector<MidiMessage> out;
    out.reserve(notes.size() * 2);
    for (const NoteSpec& n : notes) {
        auto note = static_cast<std::uint8_t>(n.note);
        out.push_back({n.start, 0x90, note, static_cast<std::uint8_t>(n.velocity)});
        out.push_back({n.start + n.duration, 0x80, note, 64});
    }
    sortByTime(out);
    return out;
}

} // namespace kolva::host
