// The owner record of this process (see platform/shared_memory_owner.h): SharedMemory lists the
// objects it creates in it and takes them off when it removes them.
#pragma once

namespace vyo::platform::posix {

// Lists `shm_name` ("/vyo.NAME") in this process's owner record (made on first use). The slot, or
// -1 when the record is full or could not be made (the object is then left to its creator alone).
int ListOwnedName(const char* shm_name);
// Takes a listed name off the record (after the object was removed).
void UnlistOwnedName(int slot);

}  // namespace vyo::platform::posix
