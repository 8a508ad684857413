#include "host/midi_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <vector>

namespace kolva::host {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes be(std::uint32_t value, int count) {
    Bytes out;
    for (int i = count - 1; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return out;
}

Bytes header(int format, int tracks, int division) {
    return Bytes{'M', 'T', 'h', 'd'} + be(6, 4) + be(format, 2) + be(tracks, 2) + be(division, 2);
}

Bytes chunk(const char* tag, const Bytes& body) {
    return Bytes(tag, tag + 4) + be(static_cast<std::uint32_t>(body.size()), 4) + body;
}

Bytes track(const Bytes& body) {
    return chunk("MTrk", body);
}

Bytes file(int format, int division, std::initializer_list<Bytes> tracks) {
    Bytes out = header(format, static_cast<int>(tracks.size()), division);
    for (const Bytes& t : tracks)
        out = out + track(t);
    return out;
}

const Bytes kEnd = {0x00, 0xFF, 0x2F, 0x00};

Bytes tempo(std::uint8_t delta0, std::uint32_t micros) {
    return Bytes{delta0, 0xFF, 0x51, 0x03} + be(micros, 3);
}

MidiSong parseOk(const Bytes& bytes) {
    MidiSong song;
    std::string error;
    EXPECT_TRUE(parseMidiFile(bytes, song, error)) << error;
    return song;
}

std::string parseError(const Bytes& bytes) {
    MidiSong song;
    std::string error;
    EXPECT_FALSE(parseMidiFile(bytes, song, error));
    EXPECT_FALSE(error.empty());
    return error;
}

TEST(MidiFile, Type0TimesFollowTheDefaultTempo) {
    // 480 ticks per quarter at the default 120 bpm: 480 ticks = 0.5 s.
    MidiSong song =
        parseOk(file(0, 480, {Bytes{0x00, 0x90, 60, 100, 0x83, 0x60, 0x80, 60, 64} + kEnd}));
    EXPECT_EQ(song.format, 0);
    ASSERT_EQ(song.events.size(), 2u);
    EXPECT_EQ(song.events[0].status, 0x90);
    EXPECT_DOUBLE_EQ(song.events[0].seconds, 0.0);
    EXPECT_EQ(song.events[1].status, 0x80);
    EXPECT_DOUBLE_EQ(song.events[1].seconds, 0.5);
    EXPECT_DOUBLE_EQ(song.lengthSeconds, 0.5);
    EXPECT_DOUBLE_EQ(song.tempo.tempoAt(0.25), 120.0);
}

TEST(MidiFile, RunningStatusAndMessageSizes) {
    // 96 ticks = 0.1 s. Note-ons under running status, velocity 0 as note-off, then the
    // one-data-byte messages (program change, channel pressure) under running status too.
    Bytes body = {0x00, 0x91, 60, 90,   0x60, 64, 80,   0x60, 60,   0,    0x60, 64,   0, 0x00, 0xC1,
                  5,    0x00, 7,  0x00, 0xD1, 30, 0x00, 0xE1, 0x00, 0x40, 0x00, 0xB1, 1, 99};
    MidiSong song = parseOk(file(0, 480, {body + kEnd}));
    ASSERT_EQ(song.events.size(), 9u);
    EXPECT_EQ(song.events[1].status, 0x91);
    EXPECT_EQ(song.events[1].data1, 64);
    EXPECT_NEAR(song.events[1].seconds, 0.1, 1e-12);
    // The two releases come at 0.2 s and 0.3 s.
    EXPECT_TRUE(song.events[2].isNoteOff());
    EXPECT_NEAR(song.events[2].seconds, 0.2, 1e-12);
    EXPECT_TRUE(song.events[3].isNoteOff());
    EXPECT_NEAR(song.events[3].seconds, 0.3, 1e-12);
    // Note-offs go first at 0.3 s; the rest keep file order.
    EXPECT_EQ(song.events[4].status, 0xC1);
    EXPECT_EQ(song.events[4].data1, 5);
    EXPECT_EQ(song.events[5].status, 0xC1);
    EXPECT_EQ(song.events[5].data1, 7);
    EXPECT_EQ(song.events[6].status, 0xD1);
    EXPECT_EQ(song.events[6].data1, 30);
    EXPECT_EQ(song.events[7].status, 0xE1);
    EXPECT_EQ(song.events[7].data2, 0x40);
    EXPECT_EQ(song.events[8].status, 0xB1);
    EXPECT_EQ(song.events[8].data2, 99);
}

TEST(MidiFile, TempoMapFromOneTrackTimesTheOthers) {
    // Track 1: 120 bpm, then 60 bpm from tick 960. Track 2: notes at ticks 480 and 1440.
    // 960 ticks at 120 bpm = 1 s; the next 480 ticks at 60 bpm = 1 s more.
    // Delta 0x87 0x40 = 960 ticks.
    Bytes tempoTrack =
        tempo(0x00, 500000) + Bytes{0x87, 0x40, 0xFF, 0x51, 0x03} + be(1000000, 3) + kEnd;
    Bytes notes = {0x83, 0x60, 0x90, 60, 100, 0x87, 0x40, 0x90, 62, 100};
    MidiSong song = parseOk(file(1, 480, {tempoTrack, notes + kEnd}));
    ASSERT_EQ(song.events.size(), 2u);
    EXPECT_DOUBLE_EQ(song.events[0].seconds, 0.5);
    EXPECT_DOUBLE_EQ(song.events[1].seconds, 2.0);
    EXPECT_DOUBLE_EQ(song.tempo.tempoAt(0.9), 120.0);
    EXPECT_DOUBLE_EQ(song.tempo.tempoAt(1.5), 60.0);
    EXPECT_DOUBLE_EQ(song.tempo.beatsAt(2.0), 3.0);

    // The same change stated in the second track serves notes of the first.
    MidiSong swapped = parseOk(file(1, 480, {notes + kEnd, tempoTrack}));
    ASSERT_EQ(swapped.events.size(), 2u);
    EXPECT_DOUBLE_EQ(swapped.events[1].seconds, 2.0);
}

TEST(MidiFile, OfTwoTempoEventsOnOneTickTheLaterWins) {
    // 120 bpm then 60 bpm, both at tick 0: 480 ticks take 1 s.
    Bytes body =
        tempo(0x00, 500000) + tempo(0x00, 1000000) + Bytes{0x83, 0x60, 0x90, 60, 100} + kEnd;
    MidiSong song = parseOk(file(0, 480, {body}));
    ASSERT_EQ(song.events.size(), 1u);
    EXPECT_DOUBLE_EQ(song.events[0].seconds, 1.0);
    EXPECT_DOUBLE_EQ(song.tempo.tempoAt(0.0), 60.0);
}

TEST(MidiFile, SmpteDivisionCountsTicksPerSecond) {
    // 25 frames/s x 40 ticks/frame = 1000 ticks per second; tempo events do not change that.
    int division = ((256 - 25) << 8) | 40;
    Bytes body = tempo(0x00, 1000000) + Bytes{0x83, 0x74, 0x90, 60, 100} + kEnd; // tick 500
    MidiSong song = parseOk(file(0, division, {body}));
    ASSERT_EQ(song.events.size(), 1u);
    EXPECT_DOUBLE_EQ(song.events[0].seconds, 0.5);
    EXPECT_DOUBLE_EQ(song.tempo.tempoAt(0.1), 60.0);
}

TEST(MidiFile, NoteOffBeforeNoteOnAtTheSameTimeAcrossTracks) {
    // Track 1 strikes C4 at 0.5 s; track 2 ends its own C4 at the same tick.
    Bytes strike = {0x83, 0x60, 0x90, 60, 100};
    Bytes release = {0x00, 0x90, 60, 80, 0x83, 0x60, 0x80, 60, 0};
    MidiSong song = parseOk(file(1, 480, {strike + kEnd, release + kEnd}));
    ASSERT_EQ(song.events.size(), 3u);
    EXPECT_TRUE(song.events[1].isNoteOff());
    EXPECT_EQ(song.events[2].kind(), 0x90);
    EXPECT_EQ(song.events[2].data2, 100);
}

TEST(MidiFile, SysexMetaAndForeignChunksAreSkipped) {
    Bytes body = {0x00, 0xF0, 0x03, 0x7E, 0x7F, 0xF7,      // sysex
                  0x00, 0xFF, 0x01, 0x03, 'a',  'b',  'c', // text meta
                  0x00, 0xF7, 0x01, 0x42,                  // sysex continuation
                  0x00, 0x90, 60,   100};
    Bytes bytes = header(1, 2, 480) + track(body + kEnd) + chunk("XFIH", {1, 2, 3}) +
                  track(Bytes{0x00, 0x90, 64, 90} + kEnd);
    MidiSong song = parseOk(bytes);
    ASSERT_EQ(song.events.size(), 2u);
    EXPECT_EQ(song.events[0].data1, 60);
    EXPECT_EQ(song.events[1].data1, 64);

    // Sysex ends running status: a bare data byte after it is an error.
    std::string error = parseError(
        file(0, 480, {Bytes{0x00, 0x90, 60, 100, 0x00, 0xF0, 0x01, 0xF7, 0x00, 62, 100}}));
    EXPECT_NE(error.find("status"), std::string::npos) << error;
}

TEST(MidiFile, LengthRunsToTheEndOfTrackMarker) {
    // Last note at tick 480, end of track at tick 1920 (2 s at 120 bpm).
    MidiSong song =
        parseOk(file(0, 480, {Bytes{0x83, 0x60, 0x90, 60, 100, 0x8B, 0x20, 0xFF, 0x2F, 0x00}}));
    EXPECT_DOUBLE_EQ(song.lengthSeconds, 2.0);
    // Bytes after the end marker are not part of the track.
    MidiSong trailing = parseOk(file(0, 480, {kEnd + Bytes{0x00, 0x90, 60, 100}}));
    EXPECT_TRUE(trailing.events.empty());
}

TEST(MidiFile, MalformedInputGivesClearErrors) {
    struct Case {
        const char* name;
        Bytes bytes;
        const char* expected;
    };
    const Bytes note = {0x00, 0x90, 60, 100};
    const Case cases[] = {
        {"no header", Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 6}, "not a Standard MIDI File"},
        {"type 2", file(2, 480, {kEnd}), "type 2"},
        {"type 7", file(7, 480, {kEnd}), "type 7"},
        {"no tracks", header(1, 0, 480), "no tracks"},
        {"type 0 with two tracks", file(0, 480, {kEnd, kEnd}), "one track"},
        {"zero division", file(0, 0, {kEnd}), "zero ticks per quarter"},
        {"bad SMPTE rate", file(0, ((256 - 23) << 8) | 4, {kEnd}), "frame rate"},
        {"zero ticks per frame", file(0, (256 - 25) << 8, {kEnd}), "ticks per frame"},
        {"missing track", header(1, 2, 480) + track(kEnd), "holds only 1"},
        {"chunk longer than file", header(0, 1, 480) + Bytes{'M', 'T', 'r', 'k', 0, 0, 1, 0, 0},
         "claims 256 bytes"},
        {"header length 4", Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 4, 0, 0, 0, 1}, "header"},
        {"data byte first", file(0, 480, {Bytes{0x00, 60, 100}}), "without a preceding status"},
        {"five-byte delta", file(0, 480, {Bytes{0x81, 0x81, 0x81, 0x81, 0x01, 0x90, 60, 1}}),
         "delta time"},
        {"tempo length 2", file(0, 480, {Bytes{0x00, 0xFF, 0x51, 0x02, 0x07, 0xA1}}),
         "tempo event with length 2"},
        {"zero tempo", file(0, 480, {Bytes{0x00, 0xFF, 0x51, 0x03, 0, 0, 0}}), "zero microseconds"},
        {"system common byte", file(0, 480, {Bytes{0x00, 0xF3, 0x01}}), "0xF3"},
        {"high data byte", file(0, 480, {Bytes{0x00, 0x90, 0xBC, 100}}), "0xBC out of range"},
        {"meta past end", file(0, 480, {Bytes{0x00, 0xFF, 0x01, 0x09, 'a'}}), "past the track end"},
        {"sysex past end", file(0, 480, {Bytes{0x00, 0xF0, 0x05, 1, 2}}), "past the track end"},
        {"cut message", file(0, 480, {note + Bytes{0x00, 0x90, 61}}), "truncated channel message"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error = parseError(c.bytes);
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

TEST(MidiFile, EveryTruncationIsAnError) {
    Bytes full = file(1, 480,
                      {tempo(0x00, 500000) + kEnd,
                       Bytes{0x00, 0x90, 60, 100, 0x60, 0x80, 60, 0, 0x00, 0xE0, 0, 64} + kEnd});
    parseOk(full);
    for (std::size_t n = 0; n < full.size(); ++n) {
        SCOPED_TRACE(n);
        Bytes cut(full.begin(), full.begin() + static_cast<long>(n));
        parseError(cut);
    }
}

TEST(MidiFile, RandomDamageNeverBreaksTheResult) {
    // Flip bytes of a valid file at random: every parse either fails with a message or
    // returns events in time order with finite times. Memory errors show up under ASan.
    Bytes base = file(1, 96,
                      {tempo(0x00, 400000) + Bytes{0x30, 0xFF, 0x51, 0x03, 0x09, 0x27, 0xC0} + kEnd,
                       Bytes{0x00, 0x90, 60, 100,  0x10, 62, 90, 0x20, 0xB0, 1,    64, 0x05,
                             0xE0, 0,    70, 0x10, 0x80, 60, 0,  0x00, 0xF0, 0x02, 1,  0xF7} +
                           kEnd});
    std::mt19937 rng(1234);
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes damaged = base;
        int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips; ++i)
            damaged[rng() % damaged.size()] = static_cast<std::uint8_t>(rng());
        if (rng() % 4 == 0) damaged.resize(rng() % damaged.size());
        MidiSong song;
        std::string error;
        if (!parseMidiFile(damaged, song, error)) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        ++accepted;
        for (std::size_t i = 0; i < song.events.size(); ++i) {
            ASSERT_TRUE(std::isfinite(song.events[i].seconds));
            ASSERT_GE(song.events[i].seconds, 0.0);
            if (i > 0) {
                ASSERT_LE(song.events[i - 1].seconds, song.events[i].seconds);
            }
        }
    }
    EXPECT_GT(accepted, 0); // some damage (e.g. in data bytes) leaves a valid file
}

TEST(MidiFile, ReadingAMissingFileNamesIt) {
    MidiSong song;
    std::string error;
    EXPECT_FALSE(readMidiFile("/nonexistent/tune.mid", song, error));
    EXPECT_NE(error.find("/nonexistent/tune.mid"), std::string::npos);
}

TEST(MidiFile, DemoFileHoldsTheMusicItPromises) {
    MidiSong song;
    std::string error;
    ASSERT_TRUE(readMidiFile(KOLVA_DEMO_MIDI, song, error)) << error;
    EXPECT_EQ(song.format, 1);
    EXPECT_EQ(song.trackCount, 2);
    // Two bars at 120 bpm (4 s), two at 100 bpm (4.8 s).
    EXPECT_DOUBLE_EQ(song.tempo.tempoAt(3.9), 120.0);
    EXPECT_DOUBLE_EQ(song.tempo.tempoAt(4.1), 100.0);
    EXPECT_NEAR(song.lengthSeconds, 8.8, 1e-9);
    bool hasA4 = false, hasBend = false, hasModWheel = false;
    for (const MidiMessage& m : song.events) {
        hasA4 |= m.kind() == 0x90 && m.data1 == 69 && m.data2 > 0;
        hasBend |= m.kind() == 0xE0;
        hasModWheel |= m.kind() == 0xB0 && m.data1 == 1;
    }
    EXPECT_TRUE(hasA4);
    EXPECT_TRUE(hasBend);
    EXPECT_TRUE(hasModWheel);
}

TEST(TempoMap, PositionsAcrossChanges) {
    TempoMap map(120.0);
    map.addChange(2.0, 60.0);  // 4 beats in the first 2 s
    map.addChange(4.0, 240.0); // 2 more beats by 4 s
    EXPECT_DOUBLE_EQ(map.beatsAt(1.0), 2.0);
    EXPECT_DOUBLE_EQ(map.beatsAt(3.0), 5.0);
    EXPECT_DOUBLE_EQ(map.beatsAt(5.0), 10.0);
    EXPECT_DOUBLE_EQ(map.tempoAt(4.0), 240.0);

    map.addChange(4.0, 120.0); // same instant: replaces
    map.addChange(5.0, -3.0);  // ignored
    EXPECT_EQ(map.points().size(), 3u);
    EXPECT_DOUBLE_EQ(map.beatsAt(5.0), 8.0);
}

} // namespace
} // namespace kolva::host
