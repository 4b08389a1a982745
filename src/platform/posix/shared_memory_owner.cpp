#include "platform/shared_memory_owner.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/owner_record.h"

namespace vyo::platform {
namespace {

// The owner record's layout: a 64-byte header, then a table of fixed slots. A slot's first byte
// is its state; the name follows, without the leading '/', NUL-terminated.
constexpr uint32_t kRecordMagic = 0x484F5956;  // "VYOH"
constexpr size_t kHeaderBytes = 64;
constexpr size_t kSlotCount = 1024;
constexpr size_t kSlotBytes = 256;
constexpr size_t kRecordBytes = kHeaderBytes + kSlotCount * kSlotBytes;
constexpr uint8_t kSlotFree = 0;
constexpr uint8_t kSlotWriting = 1;
constexpr uint8_t kSlotListed = 2;
constexpr size_t kOffMagic = 0;
constexpr size_t kOffPid = 4;
constexpr size_t kOffStartTime = 8;

constexpr char kShmFolder[] = "/dev/shm/";

std::once_flag g_record_once;
std::atomic<uint8_t*> g_record{nullptr};
char g_record_path[64];  // the record's file in the shared-memory folder, for the crash path

std::atomic_ref<uint8_t> SlotState(uint8_t* record, size_t slot) {
  return std::atomic_ref<uint8_t>(record[kHeaderBytes + slot * kSlotBytes]);
}
const char* SlotName(const uint8_t* record, size_t slot) {
  return reinterpret_cast<const char*>(record + kHeaderBytes + slot * kSlotBytes + 1);
}

// The process's start time in clock ticks after boot (field 22 of /proc/PID/stat); 0 when unknown.
uint64_t StartTimeOf(const char* stat_path) {
  const int fd = open(stat_path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[1024];
  const ssize_t n = read(fd, text, sizeof(text) - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = 0;
  // The command name (field 2) may hold spaces and parentheses: count from the last ')'.
  const char* p = strrchr(text, ')');
  if (p == nullptr) return 0;
  ++p;
  for (int field = 3; field < 22; ++field) {
    while (*p == ' ') ++p;
    while (*p != ' ' && *p != 0) ++p;
    if (*p == 0) return 0;
  }
  return strtoull(p, nullptr, 10);
}

uint64_t StartTimeOfPid(uint32_t pid) {
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/%u/stat", pid);
  return StartTimeOf(path);
}

// The largest pid the system hands out (4194304 when unreadable, the 64-bit default's ceiling).
uint64_t PidMax() {
  const int fd = open("/proc/sys/kernel/pid_max", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 4194304;
  char text[32];
  const ssize_t n = read(fd, text, sizeof(text) - 1);
  close(fd);
  if (n <= 0) return 4194304;
  text[n] = 0;
  const uint64_t value = strtoull(text, nullptr, 10);
  return value != 0 ? value : 4194304;
}

bool ProcessExists(uint32_t pid) {
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Removes an entry of the shared-memory folder by its name; async-signal-safe.
bool UnlinkEntry(const char* name) {
  char path[sizeof(kShmFolder) + kSlotBytes];
  size_t n = 0;
  for (const char* s = kShmFolder; *s != 0; ++s) path[n++] = *s;
  for (const char* s = name; *s != 0 && n + 1 < sizeof(path); ++s) path[n++] = *s;
  path[n] = 0;
  return unlink(path) == 0;
}

// A record mapped for reading and writing; null when it cannot be opened or is not a record.
uint8_t* MapRecord(const char* shm_name) {
  const int fd = shm_open(shm_name, O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  struct stat st {};
  void* p = MAP_FAILED;
  if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= kRecordBytes) {
    p = mmap(nullptr, kRecordBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  close(fd);
  if (p == MAP_FAILED) return nullptr;
  auto* record = static_cast<uint8_t*>(p);
  uint32_t magic = 0;
  std::memcpy(&magic, record + kOffMagic, sizeof(magic));
  if (magic != kRecordMagic) {
    munmap(record, kRecordBytes);
    return nullptr;
  }
  return record;
}

// Removes every object listed in an ended owner's record; the count removed.
uint32_t UnlinkListed(uint8_t* record) {
  uint32_t removed = 0;
  for (size_t i = 0; i < kSlotCount; ++i) {
    if (SlotState(record, i).load() != kSlotListed) continue;
    char name[kSlotBytes];
    std::memcpy(name, SlotName(record, i), kSlotBytes - 1);
    name[kSlotBytes - 1] = 0;
    if (name[0] != 0 && UnlinkEntry(name)) ++removed;
  }
  return removed;
}

// At a normal exit the record goes when nothing is listed in it any more; otherwise it stays for
// the next host's sweep (an object still held at exit outlives this process).
void RemoveEmptyRecordAtExit() {
  uint8_t* record = g_record.load();
  if (record == nullptr) return;
  for (size_t i = 0; i < kSlotCount; ++i) {
    if (SlotState(record, i).load() != kSlotFree) return;
  }
  unlink(g_record_path);
}

void MakeRecord() {
  const uint32_t pid = static_cast<uint32_t>(getpid());
  char shm_name[48];
  std::snprintf(shm_name, sizeof(shm_name), "/vyo.host.%u", pid);
  std::snprintf(g_record_path, sizeof(g_record_path), "%svyo.host.%u", kShmFolder, pid);
  // A record with this pid belongs to an ended process whose pid this one now has: its objects go.
  if (uint8_t* stale = MapRecord(shm_name)) {
    UnlinkListed(stale);
    munmap(stale, kRecordBytes);
  }
  shm_unlink(shm_name);
  const int fd = shm_open(shm_name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return;
  void* p = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(kRecordBytes)) == 0) {
    p = mmap(nullptr, kRecordBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  close(fd);
  if (p == MAP_FAILED) {
    shm_unlink(shm_name);
    return;
  }
  auto* record = static_cast<uint8_t*>(p);
  const uint64_t start = StartTimeOf("/proc/self/stat");
  std::memcpy(record + kOffPid, &pid, sizeof(pid));
  std::memcpy(record + kOffStartTime, &start, sizeof(start));
  std::memcpy(record + kOffMagic, &kRecordMagic, sizeof(kRecordMagic));
  g_record.store(record);
  atexit(RemoveEmptyRecordAtExit);
}

}  // namespace

namespace posix {

int ListOwnedName(const char* shm_name) {
  std::call_once(g_record_once, MakeRecord);
  uint8_t* record = g_record.load();
  if (record == nullptr || shm_name == nullptr) return -1;
  const char* name = shm_name[0] == '/' ? shm_name + 1 : shm_name;
  const size_t length = std::strlen(name);
  if (length == 0 || length + 2 > kSlotBytes) return -1;
  for (size_t i = 0; i < kSlotCount; ++i) {
    uint8_t expected = kSlotFree;
    if (!SlotState(record, i).compare_exchange_strong(expected, kSlotWriting)) continue;
    char* to = reinterpret_cast<char*>(record + kHeaderBytes + i * kSlotBytes + 1);
    std::memcpy(to, name, length + 1);
    SlotState(record, i).store(kSlotListed);
    return static_cast<int>(i);
  }
  return -1;
}

void UnlistOwnedName(int slot) {
  uint8_t* record = g_record.load();
  if (record == nullptr || slot < 0 || static_cast<size_t>(slot) >= kSlotCount) return;
  SlotState(record, static_cast<size_t>(slot)).store(kSlotFree);
}

}  // namespace posix

void UnlinkOwnedSharedMemory() {
  uint8_t* record = g_record.load();
  if (record == nullptr) return;
  for (size_t i = 0; i < kSlotCount; ++i) {
    if (SlotState(record, i).load() == kSlotListed) UnlinkEntry(SlotName(record, i));
  }
  unlink(g_record_path);
}

SweepCounts SweepSharedMemoryOfEndedProcesses() {
  SweepCounts counts;
  const uint32_t self = static_cast<uint32_t>(getpid());
  std::vector<std::string> records;
  std::vector<std::pair<std::string, uint32_t>> textures;
  if (DIR* dir = opendir(kShmFolder)) {
    while (const dirent* entry = readdir(dir)) {
      const OwnedObject owner = ClassifySharedMemoryEntry(entry->d_name);
      if (owner.pid == self) continue;
      if (owner.kind == OwnedObjectKind::kOwnerRecord) records.emplace_back(entry->d_name);
      if (owner.kind == OwnedObjectKind::kTexture) textures.emplace_back(entry->d_name, owner.pid);
    }
    closedir(dir);
  }
  // What is known of each owner that has a record: its recorded start time.
  std::vector<std::pair<uint32_t, uint64_t>> recorded_starts;
  for (const std::string& name : records) {
    const uint32_t pid = ClassifySharedMemoryEntry(name).pid;
    uint8_t* record = MapRecord(("/" + name).c_str());
    uint64_t recorded_start = 0;
    if (record != nullptr) std::memcpy(&recorded_start, record + kOffStartTime, sizeof(recorded_start));
    recorded_starts.emplace_back(pid, recorded_start);
    OwnerFacts facts;
    facts.process_exists = ProcessExists(pid);
    facts.recorded_start = recorded_start;
    facts.current_start = facts.process_exists ? StartTimeOfPid(pid) : 0;
    if (OwnerHasEnded(facts)) {
      if (record != nullptr) counts.objects += UnlinkListed(record);
      if (UnlinkEntry(name.c_str())) ++counts.owners;
    }
    if (record != nullptr) munmap(record, kRecordBytes);
  }
  // A texture whose handle cannot hold a pid of this system was not named by a host that puts its
  // pid there: it is left alone.
  const uint64_t pid_max = PidMax();
  for (const auto& [name, pid] : textures) {
    if (pid >= pid_max) continue;
    OwnerFacts facts;
    facts.process_exists = ProcessExists(pid);
    for (const auto& [record_pid, start] : recorded_starts) {
      if (record_pid == pid) facts.recorded_start = start;
    }
    facts.current_start = facts.process_exists ? StartTimeOfPid(pid) : 0;
    if (OwnerHasEnded(facts) && UnlinkEntry(name.c_str())) ++counts.objects;
  }
  return counts;
}

}  // namespace vyo::platform
