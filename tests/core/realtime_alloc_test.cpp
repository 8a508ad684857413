// Rendering never allocates: notes, controllers, automation, editor records and MIDI learn
// all pass through processEvents/processReplacing under an allocation guard.

#include "plugin_test_util.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <vector>

namespace kolva::test {
namespace {

TEST(RealtimeAllocation, GuardCatchesAnAllocation) {
    // The guard itself must be able to fail.
    AllocationGuard guard;
    auto* v = new std::vector<int>(100);
    const long seen = guard.count();
    delete v;
    EXPECT_GT(seen, 0);
}

TEST(RealtimeAllocation, RenderingWithNotesAutomationAndQueueTrafficAllocatesNothing) {
    FakeHost host;
    host.product = "Cakewalk"; // exercises the release-on-stop path too
    HostedPlugin p(host);
    p.start(48000.0f, 512);
    Kolva& k = kolvaOf(p);
    // Editor open, so engine -> editor records are produced on the audio thread as well.
    k.postToEngine(toengine::kEditorOpen, 0, 1.0);
    p.process(512);

    long total = 0;
    for (int block = 0; block < 200; ++block) {
        // Editor-side producers run outside the guard (they may allocate).
        k.postToEngine(toengine::kSetParameter, 29 + block % 5, (block % 10) / 10.0);
        k.postToEngine(toengine::kSetParameter, 290 + block % 7, 0.3);
        if (block % 3 == 0) k.postToEngine(toengine::kNote, 40 + block % 30, 90.0);
        if (block % 50 == 0) k.midiLearn().arm(40 + block % 20);
        if (block == 120) host.playing = false;

        std::vector<HostedPlugin::Midi> events = {
            noteOn(60 + block % 24, 1 + block % 127, block % 512),
            noteOff(60 + (block + 12) % 24, (block * 7) % 512),
            cc(1, block % 128, 5),
            cc(20 + block % 10, block % 128, 9),
            cc(64, block % 2 ? 127 : 0, 11),
            {13, {0xE0, static_cast<unsigned char>(block % 128), 0x40}},
            {17, {0xD0, 77, 0}},
        };
        if (block % 40 == 0) events.push_back(cc(123, 0));
        if (block % 60 == 0) events.push_back(cc(120, 0));

        AllocationGuard guard;
        p.sendMidi(events);
        p.setParameter(block % 725, (block % 11) / 10.0f); // automation on the audio thread
        p.setParameter(0, block % 2 ? 1.0f / 999.0f : 4.0f / 999.0f); // mono <-> poly
        p.process(block % 4 == 0 ? 512 : 333);
        total += guard.count();
    }
    EXPECT_EQ(total, 0) << "allocations on the audio thread"
                        << (allocationGuardSeesMalloc() ? "" : " (operator new only)");
}

} // namespace
} // namespace kolva::test
