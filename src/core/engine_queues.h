#pragma once
// The two lock-free queues between the editor and the engine, and their fixed-size records.
//
// Editor -> engine: many producers (editor code, learned controllers, host automation from
// foreign threads), one consumer (the audio thread drains it at the start of every block).
// Engine -> editor: many producers (audio thread, host automation), one consumer (the editor's
// timer). The audio thread enqueues only through its own producer token with try_enqueue, so
// it never allocates; a record that finds no room is dropped.

#include <concurrentqueue/concurrentqueue.h>

#include <cstdint>

namespace kolva {

struct EditorToEngineRecord {
    std::int32_t type;
    std::uint32_t index;
    double value;
};
static_assert(sizeof(EditorToEngineRecord) == 16);

struct EngineToEditorRecord {
    std::int32_t type;
    std::int32_t index;
    float value;
};
static_assert(sizeof(EngineToEditorRecord) == 12);

// Editor -> engine record types.
namespace toengine {
// Internal: the host set a parameter from a thread other than the audio thread while blocks
// are rendering; the block start applies the parameter's latest stored value.
inline constexpr std::int32_t kHostParameter = 250;
inline constexpr std::int32_t kSetParameter = 251;
inline constexpr std::int32_t kNote = 252;
inline constexpr std::int32_t kEngineReset = 253;
inline constexpr std::int32_t kApplyAllParameters = 254;
inline constexpr std::int32_t kEditorOpen = 255;
} // namespace toengine

// Engine -> editor record types.
namespace toeditor {
inline constexpr std::int32_t kParameterChanged = 49;
inline constexpr std::int32_t kRefreshAll = 50;
inline constexpr std::int32_t kRefreshHistory = 51;
inline constexpr std::int32_t kRefreshSection = 53;
inline constexpr std::int32_t kLearnControllerArrived = 54;
inline constexpr std::int32_t kEditorScale = 55;
inline constexpr std::int32_t kEditorTheme = 56;
inline constexpr std::int32_t kPerformanceShown = 58;
inline constexpr std::int32_t kSwitchProgram = 59;
inline constexpr std::int32_t kCloseMessageDialog = 60;
inline constexpr std::int32_t kAddHistory = 61;
inline constexpr std::int32_t kUpdatePresetManager = 62;
} // namespace toeditor

using EditorToEngineQueue = moodycamel::ConcurrentQueue<EditorToEngineRecord>;
using EngineToEditorQueue = moodycamel::ConcurrentQueue<EngineToEditorRecord>;

// Records each queue can hold without allocating.
inline constexpr std::size_t kQueueCapacity = 4096;

} // namespace kolva
