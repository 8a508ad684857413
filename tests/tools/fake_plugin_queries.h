#pragma once
// effVendorSpecific indices the test plug-in (fake_plugin.cpp) answers with what the host
// told it, so tests can check the host's side of the conversation.

namespace kolva::test {

enum FakeQuery {
    kQueryVersionAtCreation = 0, // audioMasterVersion asked inside the entry point
    kQueryProcessLevel = 1,
    kQueryCanDoTimeInfo = 2, // host canDo "sendVstTimeInfo"
    kQueryCanDoUnknown = 3,  // host canDo of a made-up word
    kQuerySampleRate = 4,
    kQueryBlockSize = 5,
    kQueryUpdateDisplay = 6,
    kQueryVendorVersion = 7,
    kQueryEventsSeen = 8,     // events received so far
    kQueryBadEvents = 9,      // of those, with a wrong type or byteSize
    kQueryProductLength = 10, // length of the product string the host gave
};

} // namespace kolva::test
