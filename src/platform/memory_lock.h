#pragma once
// Keeping large read-only engine tables resident so the audio thread takes no page faults.
// Failure is never an error: the tables then simply stay pageable.

#include <cstddef>

namespace kolva::platform {

// Raises the process's lockable-memory allowance so that at least `bytes` more can be
// locked (within what the system permits). Returns true when the allowance suffices.
bool raiseLockableMemory(std::size_t bytes);

// Locks / unlocks a memory range; both tolerate failure and report it.
bool lockMemory(const void* address, std::size_t bytes);
void unlockMemory(const void* address, std::size_t bytes);

} // namespace kolva::platform
