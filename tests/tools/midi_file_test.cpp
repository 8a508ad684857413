#include "host/midi_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <random>
#include <tuple>
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

Bytes chunk(const char* tag, const Bytes& body) {
    return Bytes(tag, tag + 4) + be(static_cast<std::uint32_t>(body.size()), 4) + body;
}

Bytes header(int format, int tracks, int division) {
    return chunk("MThd", be(format, 2) + be(tracks, 2) + be(division, 2));
}

Bytes file(int format, int division, std::initializer_list<Bytes> tracks) {
    Bytes out = header(format, static_cast<int>(tracks.size()), division);
    for (const Bytes& t : tracks)
        out = out + chunk("MTrk", t);
    return out;
}

const Bytes kEnd = {0x00, 0xFF, 0x2F, 0x00};

Bytes tempo(const Bytes& delta, std::uint32_t micros) {
    return delta + Bytes{0xFF, 0x51, 0x03} + be(micros, 3);
}

MidiSong parseOk(const Bytes& bytes) {
    MidiSong song;
    std::string error;
    EXPECT_TRUE(parseMidiFile(bytes, song, error)) << error;
    return song;
}

TEST(MidiFile, EventTimesFollowTheTempoMapAndDivision) {
    // At 480 ticks per quarter: 0x83 0x60 = 480 ticks, 0x87 0x40 = 960 ticks. Track A sets
    // 120 bpm, then 60 bpm at tick 960 (1 s); track B has notes at ticks 480 and 1440.
    const Bytes tempoTrack = tempo({0x00}, 500000) + tempo({0x87, 0x40}, 1000000) + kEnd;
    const Bytes notes = Bytes{0x83, 0x60, 0x90, 60, 100, 0x87, 0x40, 0x90, 62, 100} + kEnd;
    const Bytes noteAt480 = {0x83, 0x60, 0x90, 60, 100};
    const Bytes plain = file(0, 480, {Bytes{0x00, 0x90, 60, 100, 0x83, 0x60, 0x80, 60, 0} + kEnd});
    const Bytes twoTempos =
        file(0, 480, {tempo({0}, 500000) + tempo({0}, 1000000) + noteAt480 + kEnd});
    // 25 frames/s x 40 ticks per frame = 1000 ticks/s whatever the tempo; 0x83 0x74 = 500.
    const Bytes smpte = file(0, ((256 - 25) << 8) | 40,
                             {tempo({0}, 1000000) + Bytes{0x83, 0x74, 0x90, 60, 100} + kEnd});
    // End of track at tick 1920 (0x8B 0x20 after the note) = 2 s.
    const Bytes longEnd = file(0, 480, {noteAt480 + Bytes{0x8B, 0x20, 0xFF, 0x2F, 0x00}});
    // Sysex, meta, a foreign chunk and bytes after the end marker are all skipped.
    const Bytes skipped =
        header(1, 2, 480) +
        chunk("MTrk", Bytes{0x00, 0xF0, 0x03, 0x7E, 0x7F, 0xF7, 0x00, 0xFF, 0x01, 0x03, 'a',
                            'b',  'c',  0x00, 0xF7, 0x01, 0x42, 0x00, 0x90, 60,   100} +
                          kEnd + noteAt480) +
        chunk("XFIH", {1, 2, 3}) + chunk("MTrk", noteAt480 + kEnd);
    struct Case {
        const char* name;
        Bytes bytes;
        std::vector<double> times;
        double length, probe, bpm, beats; // song length; tempo and beats at time `probe`
    };
    const Case cases[] = {
        {"default 120 bpm", plain, {0.0, 0.5}, 0.5, 0.25, 120.0, 0.5},
        {"tempo track first", file(1, 480, {tempoTrack, notes}), {0.5, 2.0}, 2.0, 1.5, 60.0, 2.5},
        {"tempo track last", file(1, 480, {notes, tempoTrack}), {0.5, 2.0}, 2.0, 1.5, 60.0, 2.5},
        {"later of two tempos on a tick", twoTempos, {1.0}, 1.0, 0.5, 60.0, 0.5},
        {"SMPTE division", smpte, {0.5}, 0.5, 0.1, 60.0, 0.1},
        {"length to end marker", longEnd, {0.5}, 2.0, 0.0, 120.0, 0.0},
        {"skipped chunks and events", skipped, {0.0, 0.5}, 0.5, 0.0, 120.0, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MidiSong song = parseOk(c.bytes);
        ASSERT_EQ(song.events.size(), c.times.size());
        for (std::size_t i = 0; i < c.times.size(); ++i)
            EXPECT_DOUBLE_EQ(song.events[i].seconds, c.times[i]) << "event " << i;
        EXPECT_DOUBLE_EQ(song.lengthSeconds, c.length);
        EXPECT_DOUBLE_EQ(song.tempo.tempoAt(c.probe), c.bpm);
        EXPECT_DOUBLE_EQ(song.tempo.beatsAt(c.probe), c.beats);
    }
}

TEST(MidiFile, RunningStatusAndMessageSizes) {
    // 0x60 = 96 ticks = 0.1 s. Velocity 0 is a release; program change and channel pressure
    // carry one data byte, also under running status.
    Bytes body = {0x00, 0x91, 60, 90,   0x60, 64, 80,   0x60, 60,   0,    0x60, 64,   0, 0x00, 0xC1,
                  5,    0x00, 7,  0x00, 0xD1, 30, 0x00, 0xE1, 0x00, 0x40, 0x00, 0xB1, 1, 99};
    MidiSong song = parseOk(file(0, 480, {body + kEnd}));
    const MidiMessage want[] = {{0.0, 0x91, 60, 90}, {0.1, 0x91, 64, 80},  {0.2, 0x91, 60, 0},
                                {0.3, 0x91, 64, 0},  {0.3, 0xC1, 5, 0},    {0.3, 0xC1, 7, 0},
                                {0.3, 0xD1, 30, 0},  {0.3, 0xE1, 0, 0x40}, {0.3, 0xB1, 1, 99}};
    ASSERT_EQ(song.events.size(), std::size(want));
    for (std::size_t i = 0; i < song.events.size(); ++i) {
        SCOPED_TRACE(i);
        const MidiMessage& m = song.events[i];
        EXPECT_NEAR(m.seconds, want[i].seconds, 1e-12);
        EXPECT_EQ(std::tuple(m.status, m.data1, m.data2),
                  std::tuple(want[i].status, want[i].data1, want[i].data2));
    }
}

TEST(MidiFile, MalformedInputIsRefused) {
    struct Case {
        Bytes bytes;
        const char* expected; // shows that the intended check fired
    };
    const Case cases[] = {
        {Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 6}, "MThd"},
        {file(2, 480, {kEnd}), "type 2"},
        {header(1, 0, 480), "no tracks"},
        {file(0, 480, {kEnd, kEnd}), "one track"},
        {file(0, 0, {kEnd}), "zero ticks per quarter"},
        {file(0, (256 - 25) << 8, {kEnd}), "zero ticks per frame"},
        {header(1, 2, 480) + chunk("MTrk", kEnd), "holds only 1"},
        {header(0, 1, 480) + Bytes{'M', 'T', 'r', 'k', 0, 0, 1, 0, 0}, "claims 256 bytes"},
        {file(0, 480, {Bytes{0x00, 60, 100}}), "without a preceding status"},
        // System exclusive ends running status.
        {file(0, 480, {Bytes{0x00, 0x90, 60, 100, 0x00, 0xF0, 0x01, 0xF7, 0x00, 62, 100}}),
         "without a preceding status"},
        {file(0, 480, {Bytes{0x81, 0x81, 0x81, 0x81, 0x01, 0x90, 60, 1}}), "delta time"},
        {file(0, 480, {Bytes{0x00, 0xFF, 0x51, 0x03, 0, 0, 0}}), "zero microseconds"},
        {file(0, 480, {Bytes{0x00, 0xFF, 0x51, 0x03, 0x07}}), "past the track end"},
        {file(0, 480, {Bytes{0x00, 0x90, 0xBC, 100}}), "0xBC out of range"},
        {file(0, 480, {Bytes{0x00, 0xF3, 0x01}}), "0xF3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        MidiSong song;
        std::string error;
        EXPECT_FALSE(parseMidiFile(c.bytes, song, error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

TEST(MidiFile, TruncatedOrDamagedFilesFailCleanly) {
    const Bytes base = file(1, 96,
                            {tempo({0x00}, 400000) + tempo({0x30}, 600000) + kEnd,
                             Bytes{0x00, 0x90, 60, 100,  0x10, 62, 90, 0x20, 0xB0, 1,    64, 0x05,
                                   0xE0, 0,    70, 0x10, 0x80, 60, 0,  0x00, 0xF0, 0x02, 1,  0xF7} +
                                 kEnd});
    parseOk(base);
    // Every truncation fails; random damage either fails or gives finite times in order.
    // Memory errors show up under ASan.
    std::mt19937 rng(1234);
    int accepted = 0;
    for (std::size_t round = 0; round < 3000; ++round) {
        Bytes bytes = base;
        if (round < base.size()) {
            bytes.resize(round);
        } else {
            for (int i = 0, flips = 1 + static_cast<int>(rng() % 4); i < flips; ++i)
                bytes[rng() % bytes.size()] = static_cast<std::uint8_t>(rng());
            if (rng() % 4 == 0) bytes.resize(rng() % bytes.size());
        }
        MidiSong song;
        std::string error;
        bool ok = parseMidiFile(bytes, song, error);
        EXPECT_EQ(ok, error.empty()) << "round " << round;
        EXPECT_TRUE(!ok || round >= base.size()) << "cut to " << round << " bytes";
        if (!ok) continue;
        ++accepted;
        for (std::size_t i = 0; i < song.events.size(); ++i) {
            ASSERT_TRUE(std::isfinite(song.events[i].seconds));
            ASSERT_GE(song.events[i].seconds, i > 0 ? song.events[i - 1].seconds : 0.0);
        }
    }
    EXPECT_GT(accepted, 0); // damage in data bytes leaves a valid file
}

} // namespace
} // namespace kolva::host
