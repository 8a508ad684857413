#include "host/note_list.h"

#include <gtest/gtest.h>

#include <tuple>

namespace kolva::host {
namespace {

TEST(NoteList, ParsesNumbersNamesAndDefaults) {
    std::vector<NoteSpec> notes;
    std::string error;
    ASSERT_TRUE(parseNoteList("60@0+1:100, 64@0.5+1.5,C4@2+1 , A4@3.25+0.125:7", notes, error))
        << error;
    const NoteSpec want[] = {{60, 0.0, 1.0, 100},
                             {64, 0.5, 1.5, kDefaultNoteVelocity},
                             {60, 2.0, 1.0, kDefaultNoteVelocity},
                             {69, 3.25, 0.125, 7}};
    ASSERT_EQ(notes.size(), std::size(want));
    for (std::size_t i = 0; i < notes.size(); ++i)
        EXPECT_EQ(std::tuple(notes[i].note, notes[i].start, notes[i].duration, notes[i].velocity),
                  std::tuple(want[i].note, want[i].start, want[i].duration, want[i].velocity))
            << "note " << i;

    const std::pair<const char*, int> names[] = {
        {"C4", 60},  {"a4", 69},  {"C#4", 61},  {"Db4", 61}, {"Bb3", 58}, {"B#3", 60},
        {"C-1", 0},  {"G9", 127}, {"127", 127}, {"0", 0},    {"G#9", -1}, {"Cb-1", -1},
        {"128", -1}, {"H2", -1},  {"C", -1},    {"C10", -1}, {"60x", -1}, {"", -1}};
    for (const auto& [text, note] : names)
        EXPECT_EQ(parseNoteName(text), note) << text;
}

TEST(NoteList, BadItemsAreRefusedByNumber) {
    for (const char* bad : {"", "60+1", "60@1", "X9@0+1", "60@-1+1", "60@0+0", "60@0+abc",
                            "60@0+1:0", "60@0+1:128", "60@0+1:64.5"}) {
        std::vector<NoteSpec> notes;
        std::string error;
        EXPECT_FALSE(parseNoteList(std::string("60@0+1, ") + bad, notes, error)) << bad;
        EXPECT_NE(error.find("item 2"), std::string::npos) << error;
    }
}

TEST(NoteList, MessagesAreTimeOrderedWithReleasesFirst) {
    // The first note starts exactly when the second one ends.
    std::vector<NoteSpec> notes = {{60, 1.0, 0.5, 80}, {60, 0.0, 1.0, 90}, {67, 0.25, 2.0, 70}};
    std::vector<MidiMessage> m = noteListMessages(notes);
    const MidiMessage want[] = {{0.0, 0x90, 60, 90}, {0.25, 0x90, 67, 70}, {1.0, 0x80, 60, 64},
                                {1.0, 0x90, 60, 80}, {1.5, 0x80, 60, 64},  {2.25, 0x80, 67, 64}};
    ASSERT_EQ(m.size(), std::size(want));
    for (std::size_t i = 0; i < m.size(); ++i)
        EXPECT_EQ(std::tuple(m[i].seconds, m[i].status, m[i].data1, m[i].data2),
                  std::tuple(want[i].seconds, want[i].status, want[i].data1, want[i].data2))
            << "message " << i;
}

} // namespace
} // namespace kolva::host
