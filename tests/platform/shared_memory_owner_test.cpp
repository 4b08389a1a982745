// Shared memory left by processes that ended abnormally: the sweep's decisions, and on Linux a
// helper process that is killed (its objects stay until the sweep) or ends through
// TerminateCurrentProcess (it removes its own).
#include "platform/shared_memory_owner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/test_support.h"

#ifndef _WIN32
#include <dirent.h>
#endif

namespace vyo::platform {
namespace {

TEST(SharedMemoryOwner, OwnerDecisions) {
  struct Case {
    OwnerFacts facts;
    bool ended;
  };
  const Case cases[] = {
      {{false, 0, 0}, true},      // no such process
      {{false, 500, 0}, true},    // no such process, start time recorded
      {{true, 500, 500}, false},  // the owner itself
      {{true, 500, 900}, true},   // the pid now belongs to a process started later
      {{true, 0, 900}, false},    // no recorded start time: a live pid counts as the owner
      {{true, 500, 0}, false},    // the current start time is unreadable: kept
  };
  for (const Case& c : cases) {
    EXPECT_EQ(OwnerHasEnded(c.facts), c.ended)
        << c.facts.process_exists << " " << c.facts.recorded_start << " " << c.facts.current_start;
  }
}

TEST(SharedMemoryOwner, EntryNamesAndTextureHandles) {
  EXPECT_EQ(TextureHandleFor(0x1234, 0xDEADBEEF), 0x00001234DEADBEEFull);
  EXPECT_EQ(TextureHandleOwner(TextureHandleFor(4242, 7)), 4242u);
  struct Case {
    const char* name;
    OwnedObjectKind kind;
    uint32_t pid;
  };
  const Case cases[] = {
      {"vyo.host.4242", OwnedObjectKind::kOwnerRecord, 4242},
      {"vyo.host.4294967295", OwnedObjectKind::kOwnerRecord, 4294967295u},
      {"vyo.host.4294967296", OwnedObjectKind::kOther, 0},  // not a pid
      {"vyo.host.", OwnedObjectKind::kOther, 0},
      {"vyo.host.12a", OwnedObjectKind::kOther, 0},
      {"vyo.host.0", OwnedObjectKind::kOther, 0},
      {"vyo.tex.00001092deadbeef", OwnedObjectKind::kTexture, 0x1092},
      {"vyo.tex.00001092DEADBEEF", OwnedObjectKind::kTexture, 0x1092},
      {"vyo.tex.00000000deadbeef", OwnedObjectKind::kOther, 0},  // no owner in the handle
      {"vyo.tex.1092deadbeef", OwnedObjectKind::kOther, 0},      // too short
      {"vyo.tex.00001092deadbeeg", OwnedObjectKind::kOther, 0},
      {"vyo.pipe_dirty_1", OwnedObjectKind::kOther, 0},
      {"sem.vyo.x", OwnedObjectKind::kOther, 0},
  };
  for (const Case& c : cases) {
    const OwnedObject o = ClassifySharedMemoryEntry(c.name);
    EXPECT_EQ(o.kind, c.kind) << c.name;
    EXPECT_EQ(o.pid, c.pid) << c.name;
  }
}

#ifndef _WIN32

std::u16string HelperPath() {
  return ExecutableDirectory() + PathSeparator() + u"platform_test_helper";
}

// Entries of /dev/shm that belong to `pid`: its record, its textures and the names given.
std::vector<std::string> EntriesOf(uint32_t pid, const std::vector<std::string>& names) {
  std::vector<std::string> out;
  DIR* dir = opendir("/dev/shm");
  if (dir == nullptr) return out;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    const OwnedObject o = ClassifySharedMemoryEntry(name);
    bool listed = false;
    for (const auto& n : names) listed = listed || name == "vyo." + n;
    if (o.pid == pid || listed) out.push_back(name);
  }
  closedir(dir);
  return out;
}

struct Helper {
  std::unique_ptr<ChildProcess> process;
  std::vector<std::string> names;
};

Helper StartHolder(const char* mode) {
  Helper h;
  for (const char* part : {"dirty_1", "hitmask_1"}) {
    const std::u16string u = testing::UniqueName(part);
    h.names.emplace_back(u.begin(), u.end());
  }
  std::vector<std::u16string> args = {u"shm", testing::Ascii16(mode)};
  for (const auto& n : h.names) args.push_back(testing::Ascii16(n));
  h.process = ChildProcess::Start(HelperPath(), args);
  return h;
}

// A killed process's names, texture and record stay until a sweep removes them; a live process's
// stay through the sweep.
TEST(SharedMemoryOwner, SweepRemovesWhatAKilledProcessLeftAndKeepsALiveOnes) {
  Helper killed = StartHolder("hold");
  Helper live = StartHolder("hold");
  ASSERT_NE(killed.process, nullptr);
  ASSERT_NE(live.process, nullptr);
  // Each holds two blocks, a texture and its record.
  for (Helper* h : {&killed, &live}) {
    EXPECT_TRUE(testing::PollUntil([&] { return EntriesOf(h->process->Pid(), h->names).size() == 4; },
                                   std::chrono::milliseconds(10000)))
        << EntriesOf(h->process->Pid(), h->names).size();
  }
  killed.process->Kill();
  ASSERT_TRUE(killed.process->Wait(10000).has_value());
  EXPECT_EQ(EntriesOf(killed.process->Pid(), killed.names).size(), 4u);  // nothing removed them

  const SweepCounts counts = SweepSharedMemoryOfEndedProcesses();
  EXPECT_GE(counts.owners, 1u);
  EXPECT_GE(counts.objects, 3u);
  EXPECT_TRUE(EntriesOf(killed.process->Pid(), killed.names).empty());
  EXPECT_EQ(EntriesOf(live.process->Pid(), live.names).size(), 4u);

  live.process->Kill();
  ASSERT_TRUE(live.process->Wait(10000).has_value());
  SweepSharedMemoryOfEndedProcesses();
  EXPECT_TRUE(EntriesOf(live.process->Pid(), live.names).empty());
}

// The watchdog's way out (TerminateCurrentProcess) removes the process's own names and record.
TEST(SharedMemoryOwner, TerminateRemovesTheProcessesOwnNames) {
  Helper h = StartHolder("terminate");
  ASSERT_NE(h.process, nullptr);
  const auto status = h.process->Wait(10000);
  if (!status) h.process->Kill();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, static_cast<uint32_t>(ExitStatusFor(0xE0010001u)));
  EXPECT_TRUE(EntriesOf(h.process->Pid(), h.names).empty());
}

#endif

}  // namespace
}  // namespace vyo::platform
