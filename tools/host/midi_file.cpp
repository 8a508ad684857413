#include "host/midi_file.h"

#include "util/number_text.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace kolva::host {

namespace {

std::string hexByte(unsigned value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s = "0x";
    s += kDigits[(value >> 4) & 0xF];
    s += kDigits[value & 0xF];
    return s;
}

// Bounds-checked cursor over one byte range. Every read reports failure instead of
// touching memory past the end.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t offset() const { return pos_; }
    std::size_t remaining() const { return bytes_.size() - pos_; }
    bool atEnd() const { return pos_ >= bytes_.size(); }

    bool peek(std::uint8_t& out) const {
        if (atEnd()) return false;
        out = bytes_[pos_];
        return true;
    }
    bool byte(std::uint8_t& out) {
        if (!peek(out)) return false;
        ++pos_;
        return true;
    }
    bool bigEndian(int count, std::uint32_t& out) {
        if (remaining() < static_cast<std::size_t>(count)) return false;
        out = 0;
        for (int i = 0; i < count; ++i)
            out = (out << 8) | bytes_[pos_++];
        return true;
    }
    // MIDI variable-length quantity: at most four bytes, seven bits each.
    bool variableLength(std::uint32_t& out) {
        out = 0;
        for (int i = 0; i < 4; ++i) {
            std::uint8_t b = 0;
            if (!byte(b)) return false;
            out = (out << 7) | (b & 0x7Fu);
            if ((b & 0x80u) == 0) return true;
        }
        return false;
    }
    bool skip(std::size_t count) {
        if (remaining() < count) return false;
        pos_ += count;
        return true;
    }
    bool slice(std::size_t count, std::span<const std::uint8_t>& out) {
        if (remaining() < count) return false;
        out = bytes_.subspan(pos_, count);
        pos_ += count;
        return true;
    }
    bool tag(const char (&name)[5]) const {
        return remaining() >= 4 && std::equal(name, name + 4, bytes_.begin() + pos_);
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

struct RawEvent {
    std::uint64_t tick = 0;
    std::uint8_t status = 0;
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;
};

struct TempoEvent {
    std::uint64_t tick = 0;
    std::uint32_t microsPerQuarter = 500000;
};

struct TrackContents {
    std::vector<RawEvent> events;
    std::vector<TempoEvent> tempos;
    std::uint64_t endTick = 0;
};

bool parseTrack(std::span<const std::uint8_t> data, int track, TrackContents& out,
                std::string& error) {
    ByteReader r(data);
    std::uint64_t tick = 0;
    std::uint8_t running = 0;
    auto fail = [&](const std::string& what) {
        error = "track " + formatInt(track) + ", byte " +
                formatInt(static_cast<long long>(r.offset())) + ": " + what;
        return false;
    };
    while (!r.atEnd()) {
        std::uint32_t delta = 0;
        if (!r.variableLength(delta)) return fail("bad or truncated delta time");
        tick += delta;

        std::uint8_t status = 0;
        if (!r.peek(status)) return fail("event missing after delta time");
        if (status & 0x80) {
            r.skip(1);
        } else {
            if (running == 0) return fail("data byte without a preceding status byte");
            status = running;
        }

        if (status == 0xFF) {
            running = 0;
            std::uint8_t type = 0;
            std::uint32_t length = 0;
            std::span<const std::uint8_t> payload;
            if (!r.byte(type) || !r.variableLength(length)) return fail("truncated meta event");
            if (!r.slice(length, payload)) return fail("meta event runs past the track end");
            if (type == 0x2F) {
                out.endTick = tick;
                return true; // whatever follows the end marker is not part of the track
            }
            if (type == 0x51) {
                if (length != 3) return fail("tempo event with length " + formatInt(length));
                std::uint32_t micros = (std::uint32_t{payload[0]} << 16) |
                                       (std::uint32_t{payload[1]} << 8) | payload[2];
                if (micros == 0) return fail("tempo of zero microseconds per quarter note");
                out.tempos.push_back({tick, micros});
            }
            continue;
        }
        if (status == 0xF0 || status == 0xF7) {
            running = 0;
            std::uint32_t length = 0;
            if (!r.variableLength(length)) return fail("truncated system exclusive length");
            if (!r.skip(length)) return fail("system exclusive data runs past the track end");
            continue;
        }
        if (status > 0xF0) return fail("unexpected status byte " + hexByte(status));

        running = status;
        int kind = status & 0xF0;
        int dataBytes = (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
        std::uint8_t data[2] = {0, 0};
        for (int i = 0; i < dataBytes; ++i) {
            if (!r.byte(data[i])) return fail("truncated channel message");
            if (data[i] & 0x80) return fail("data byte " + hexByte(data[i]) + " out of range");
        }
        out.events.push_back({tick, status, data[0], data[1]});
    }
    out.endTick = tick; // a missing end-of-track marker is tolerated
    return true;
}

// Converts ticks to seconds under either a metrical (tempo-driven) or SMPTE division.
class TickClock {
public:
    // Metrical division: tempo changes (sorted by tick) decide the seconds per tick.
    TickClock(int ticksPerQuarter, const std::vector<TempoEvent>& tempos)
        : ticksPerQuarter_(ticksPerQuarter) {
        segments_.push_back({0, 0.0, 500000});
        for (const TempoEvent& t : tempos) {
            Segment& last = segments_.back();
            if (t.tick == last.tick) {
                last.microsPerQuarter = t.microsPerQuarter;
                continue;
            }
            segments_.push_back({t.tick, secondsIn(last, t.tick), t.microsPerQuarter});
        }
    }
    // SMPTE division: a fixed number of ticks per second.
    explicit TickClock(double ticksPerSecond) : ticksPerSecond_(ticksPerSecond) {}

    double seconds(std::uint64_t tick) const {
        if (ticksPerSecond_ > 0.0) return static_cast<double>(tick) / ticksPerSecond_;
        auto it = std::upper_bound(segments_.begin(), segments_.end(), tick,
                                   [](std::uint64_t t, const Segment& s) { return t < s.tick; });
        return secondsIn(*(it - 1), tick);
    }

private:
    struct Segment {
        std::uint64_t tick = 0;
        double seconds = 0.0;
        std::uint32_t microsPerQuarter = 500000;
    };
    double secondsIn(const Segment& s, std::uint64_t tick) const {
        return s.seconds +
               static_cast<double>(tick - s.tick) * s.microsPerQuarter / (1e6 * ticksPerQuarter_);
    }

    int ticksPerQuarter_ = 0;
    double ticksPerSecond_ = 0.0;
    std::vector<Segment> segments_;
};

} // namespace

bool parseMidiFile(std::span<const std::uint8_t> bytes, MidiSong& song, std::string& error) {
    song = MidiSong{};
    ByteReader r(bytes);
    if (!r.tag("MThd")) {
        error = "not a Standard MIDI File (no MThd header)";
        return false;
    }
    r.skip(4);
    std::uint32_t headerLength = 0, format = 0, trackCount = 0, division = 0;
    if (!r.bigEndian(4, headerLength) || headerLength < 6 || headerLength > r.remaining()) {
        error = "truncated or malformed MIDI file header";
        return false;
    }
    r.bigEndian(2, format);
    r.bigEndian(2, trackCount);
    r.bigEndian(2, division);
    r.skip(headerLength - 6);

    if (format == 2) {
        error = "MIDI file type 2 (independent sequences) is not supported";
        return false;
    }
    if (format > 2) {
        error = "unknown MIDI file type " + formatInt(format);
        return false;
    }
    if (trackCount == 0) {
        error = "MIDI file declares no tracks";
        return false;
    }
    if (format == 0 && trackCount != 1) {
        error = "MIDI file type 0 must hold one track, header declares " + formatInt(trackCount);
        return false;
    }

    double ticksPerSecond = 0.0;
    int ticksPerQuarter = 0;
    if (division & 0x8000) {
        int fps = -static_cast<int>(static_cast<std::int8_t>(division >> 8));
        int ticksPerFrame = static_cast<int>(division & 0xFF);
        if (fps != 24 && fps != 25 && fps != 29 && fps != 30) {
            error = "unsupported SMPTE frame rate " + formatInt(fps);
            return false;
        }
        if (ticksPerFrame == 0) {
            error = "SMPTE division with zero ticks per frame";
            return false;
        }
        // 29 stands for 30 drop-frame, i.e. 29.97 frames per second.
        ticksPerSecond = (fps == 29 ? 30000.0 / 1001.0 : fps) * ticksPerFrame;
    } else {
        ticksPerQuarter = static_cast<int>(division);
        if (ticksPerQuarter == 0) {
            error = "MIDI file division of zero ticks per quarter note";
            return false;
        }
    }

    std::vector<TrackContents> tracks;
    while (tracks.size() < trackCount) {
        if (r.atEnd()) break;
        std::uint32_t length = 0;
        bool isTrack = r.tag("MTrk");
        if (!r.skip(4) || !r.bigEndian(4, length)) {
            error = "truncated chunk header after track " +
                    formatInt(static_cast<long long>(tracks.size()));
            return false;
        }
        std::span<const std::uint8_t> body;
        if (!r.slice(length, body)) {
            error = "chunk after track " + formatInt(static_cast<long long>(tracks.size())) +
                    " claims " + formatInt(length) + " bytes but only " +
                    formatInt(static_cast<long long>(r.remaining())) + " remain";
            return false;
        }
        if (!isTrack) continue; // unknown chunk types are skipped, as the format asks
        TrackContents contents;
        if (!parseTrack(body, static_cast<int>(tracks.size()) + 1, contents, error)) return false;
        tracks.push_back(std::move(contents));
    }
    if (tracks.size() < trackCount) {
        error = "MIDI file header declares " + formatInt(trackCount) + " tracks but holds only " +
                formatInt(static_cast<long long>(tracks.size()));
        return false;
    }

    // Tempo changes from every track form one map (type 1 files keep them in track 1).
    std::vector<TempoEvent> tempos;
    std::uint64_t endTick = 0;
    for (const TrackContents& t : tracks) {
        tempos.insert(tempos.end(), t.tempos.begin(), t.tempos.end());
        endTick = std::max(endTick, t.endTick);
    }
    std::stable_sort(tempos.begin(), tempos.end(),
                     [](const TempoEvent& a, const TempoEvent& b) { return a.tick < b.tick; });
    TickClock clock =
        ticksPerSecond > 0.0 ? TickClock(ticksPerSecond) : TickClock(ticksPerQuarter, tempos);
    for (const TempoEvent& t : tempos)
        song.tempo.addChange(clock.seconds(t.tick), 6e7 / t.microsPerQuarter);
    for (const TrackContents& t : tracks)
        for (const RawEvent& e : t.events)
            song.events.push_back({clock.seconds(e.tick), e.status, e.data1, e.data2});
    sortByTime(song.events); // stable: equal times keep track order
    song.format = static_cast<int>(format);
    song.trackCount = static_cast<int>(trackCount);
    song.lengthSeconds = clock.seconds(endTick);
    if (!song.events.empty())
        song.lengthSeconds = std::max(song.lengthSeconds, song.events.back().seconds);
    return true;
}

void sortByTime(std::vector<MidiMessage>& messages) {
    std::stable_sort(messages.begin(), messages.end(),
                     [](const MidiMessage& a, const MidiMessage& b) {
                         if (a.seconds != b.seconds) return a.seconds < b.seconds;
                         return a.isNoteOff() && !b.isNoteOff();
                     });
}

bool readMidiFile(const std::string& path, MidiSong& song, std::string& error) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        error = "cannot open MIDI file " + path;
        return false;
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        if (bytes.size() + n > kMaxMidiFileBytes) {
            error = "MIDI file " + path + " is larger than " + formatInt(kMaxMidiFileBytes >> 20) +
                    " MiB";
            return false;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    if (std::ferror(file.get())) {
        error = "cannot read MIDI file " + path;
        return false;
    }
    if (!parseMidiFile(bytes, song, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace kolva::host
