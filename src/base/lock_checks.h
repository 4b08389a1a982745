// The view registry's lock is for short reads and writes of the view table only. The paths that do
// file I/O, cryptography or GPU work, take another lock or call out (to the browser, a module or
// the pipe) check on entry that the calling thread does not hold it: each such entry is counted
// (tests read the count) and stops a debug build at once.
#pragma once
#include <cstdint>

namespace vyo {

// Kept by the registry's lock for the calling thread.
void NoteRegistryLockTaken();
void NoteRegistryLockReleased();
bool RegistryLockHeldByThisThread();

// Entries made with the registry's lock held, in this process.
uint64_t RegistryLockViolations();

// `what` names the path (for the debugger; the count is what tests read).
void CheckNoRegistryLock(const char* what);

}  // namespace vyo
