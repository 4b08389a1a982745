#include "base/lock_checks.h"

#include <atomic>
#include <cassert>

namespace vyo {
namespace {
thread_local int t_registry_lock_depth = 0;
std::atomic<uint64_t> g_violations{0};
}  // namespace

void NoteRegistryLockTaken() { ++t_registry_lock_depth; }
void NoteRegistryLockReleased() { --t_registry_lock_depth; }
bool RegistryLockHeldByThisThread() { return t_registry_lock_depth > 0; }
uint64_t RegistryLockViolations() { return g_violations.load(std::memory_order_relaxed); }

void CheckNoRegistryLock(const char* what) {
  (void)what;
  if (t_registry_lock_depth == 0) return;
  g_violations.fetch_add(1, std::memory_order_relaxed);
  assert(!"entered with the view registry's lock held" && what);
}

}  // namespace vyo
