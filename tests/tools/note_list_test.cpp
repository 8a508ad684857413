#include "host/note_list.h"

#include <gtest/gtest.h>

namespace kolva::host {
namespace {

TEST(NoteList, ParsesNumbersNamesAndDefaults) {
    std::vector<NoteSpec> notes;
    std::string error;
    ASSERT_TRUE(parseNoteList("60@0+1:100, 64@0.5+1.5,C4@2+1 , A4@3.25+0.125:7", notes, error))
        << error;
    ASSERT_EQ(notes.size(), 4u);
    EXPECT_EQ(notes[0].note, 60);
    EXPECT_EQ(notes[0].velocity, 100);
    EXPECT_EQ(notes[1].note, 64);
    EXPECT_DOUBLE_EQ(notes[1].start, 0.5);
    EXPECT_DOUBLE_EQ(notes[1].duration, 1.5);
    EXPECT_EQ(notes[1].velocity, kDefaultNoteVelocity);
    EXPECT_EQ(notes[2].note, 60);
    EXPECT_DOUBLE_EQ(notes[2].start, 2.0);
    EXPECT_EQ(notes[3].note, 69);
    EXPECT_DOUBLE_EQ(notes[3].start, 3.25);
    EXPECT_DOUBLE_EQ(notes[3].duration, 0.125);
    EXPECT_EQ(notes[3].velocity, 7);
}

TEST(NoteList, NoteNames) {
    EXPECT_EQ(parseNoteName("C4"), 60);
    EXPECT_EQ(parseNoteName("a4"), 69);
    EXPECT_EQ(parseNoteName("C#4"), 61);
    EXPECT_EQ(parseNoteName("Db4"), 61);
    EXPECT_EQ(parseNoteName("Bb3"), 58);
    EXPECT_EQ(parseNoteName("B#3"), 60);
    EXPECT_EQ(parseNoteName("C-1"), 0);
    EXPECT_EQ(parseNoteName("G9"), 127);
    EXPECT_EQ(parseNoteName("127"), 127);
    EXPECT_EQ(parseNoteName("0"), 0);
    // Out of range or not a note.
    EXPECT_EQ(parseNoteName("G#9"), -1);
    EXPECT_EQ(parseNoteName("Cb-1"), -1);
    EXPECT_EQ(parseNoteName("128"), -1);
    EXPECT_EQ(parseNoteName("H2"), -1);
    EXPECT_EQ(parseNoteName("C"), -1);
    EXPECT_EQ(parseNoteName("C10"), -1);
    EXPECT_EQ(parseNoteName("60x"), -1);
    EXPECT_EQ(parseNoteName(""), -1);
}

TEST(NoteList, ErrorsNameTheItem) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"", "item 1 is empty"},
        {"60@0+1,", "item 2 is empty"},
        {"60+1", "missing '@START'"},
        {"60@1", "missing '+DURATION'"},
        {"X9@0+1", "note must be"},
        {"60@-1+1", "start must be"},
        {"60@0+0", "duration must be"},
        {"60@0+abc", "duration must be"},
        {"60@0+1:0", "velocity must be"},
        {"60@0+1:128", "velocity must be"},
        {"60@0+1:64.5", "velocity must be"},
        {"60@0+1, 61@zero+1", "item 2 \"61@zero+1\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<NoteSpec> notes;
        std::string error;
        EXPECT_FALSE(parseNoteList(c.text, notes, error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

TEST(NoteList, MessagesAreTimeOrderedWithReleasesFirst) {
    // The second note starts exactly when the first one ends.
    std::vector<NoteSpec> notes = {{60, 0.0, 1.0, 90}, {60, 1.0, 0.5, 80}, {67, 0.25, 2.0, 70}};
    std::vector<MidiMessage> m = noteListMessages(notes);
    ASSERT_EQ(m.size(), 6u);
    for (std::size_t i = 1; i < m.size(); ++i)
        EXPECT_LE(m[i - 1].seconds, m[i].seconds);
    EXPECT_EQ(m[0].kind(), 0x90);
    EXPECT_EQ(m[0].data2, 90);
    EXPECT_EQ(m[1].data1, 67);
    EXPECT_DOUBLE_EQ(m[2].seconds, 1.0);
    EXPECT_TRUE(m[2].isNoteOff());
    EXPECT_DOUBLE_EQ(m[3].seconds, 1.0);
    EXPECT_FALSE(m[3].isNoteOff());
    EXPECT_EQ(m[3].data2, 80);
    EXPECT_DOUBLE_EQ(m[5].seconds, 2.25);
}

} // namespace
} // namespace kolva::host
