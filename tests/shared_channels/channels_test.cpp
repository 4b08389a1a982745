#include <gtest/gtest.h>

#include <cstring>

#include <string>

#include "base/text.h"
#include "fakes/manual_clock.h"
#include "platform/fault_guard.h"
#include "overlay_channel/overlay_channel.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "protocol/wire.h"
#include "shared_channels/channels.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vyo::host {
namespace {

struct Ring {
  std::vector<uint8_t> memory = std::vector<uint8_t>(kInputRingSize, 0);
  void SetIndices(uint32_t write, uint32_t read) {
    StoreU32(memory.data(), write);
    StoreU32(memory.data() + 4, read);
  }
  void Mark(uint32_t slot, uint8_t tag) { memory[8 + static_cast<size_t>(slot) * kInputRecordSize] = tag; }
};

TEST(InputRing, DrainWrapsAroundAndPublishesReadIndex) {
  Ring r;
  r.SetIndices(5, 1022);
  for (uint32_t s : {1022u, 1023u, 0u, 1u, 2u, 3u, 4u}) r.Mark(s, static_cast<uint8_t>(s % 256 + 1));
  InputRing ring(r.memory.data());
  EXPECT_EQ(ring.PendingCount(), 7);
  std::vector<uint8_t> tags;
  std::vector<uint32_t> published;
  bool more = false, corrupt = false;
  ring.Drain(
      [&](const InputRecord& rec) {
        tags.push_back(rec[0]);
        published.push_back(LoadU32(r.memory.data() + 4));  // visible before the record is handled
      },
      &more, &corrupt);
  EXPECT_EQ(tags, (std::vector<uint8_t>{255, 0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(published, (std::vector<uint32_t>{1023, 0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(LoadU32(r.memory.data() + 4), 5u);
  EXPECT_FALSE(more);
  EXPECT_FALSE(corrupt);
  EXPECT_EQ(ring.PendingCount(), 0);
}

TEST(InputRing, CorruptIndicesCannotSteerTheHost) {
  Ring r;
  r.SetIndices(3, 0);
  InputRing ring(r.memory.data());
  // The overlay scribbles on the read index: the host keeps its own.
  StoreU32(r.memory.data() + 4, 900);
  int n = 0;
  bool more = false, corrupt = false;
  ring.Drain([&](const InputRecord&) { ++n; }, &more, &corrupt);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(ring.read_index(), 3u);
  // A write index outside the ring ends the drain at once.
  StoreU32(r.memory.data(), 1024);
  EXPECT_EQ(ring.Drain([&](const InputRecord&) { ++n; }, &more, &corrupt), 0u);
  EXPECT_TRUE(corrupt);
  EXPECT_EQ(ring.PendingCount(), 0);
}

TEST(InputRing, DrainIsBoundedWhileTheOverlayKeepsWriting) {
  Ring r;
  InputRing ring(r.memory.data());
  r.SetIndices(1, 0);
  uint32_t taken = 0;
  bool more = false, corrupt = false;
  // Each handled record makes the overlay add another one: the drain must still end.
  taken = ring.Drain(
      [&](const InputRecord&) {
        const uint32_t w = LoadU32(r.memory.data());
        StoreU32(r.memory.data(), (w + 1) % kInputSlots);
      },
      &more, &corrupt);
  EXPECT_EQ(taken, 1024u);
  EXPECT_TRUE(more);
}

TEST(InputRing, CountsWhatItTakesWhateverTheOverlayWritesToTheReadIndex) {
  Ring r;
  InputProgress progress;
  r.SetIndices(4, 0);
  InputRing ring(r.memory.data(), &progress);
  bool more = false, corrupt = false;
  // Rewrites of the shared read index between drains change neither the count nor the host's index.
  for (uint32_t scribble : {2u, 4u, 1000u}) {
    StoreU32(r.memory.data() + 4, scribble);
    EXPECT_EQ(progress.drained(), 0u);
    EXPECT_EQ(progress.read_index(), 0u);
  }
  EXPECT_EQ(ring.Drain([](const InputRecord&) {}, &more, &corrupt), 4u);
  EXPECT_EQ(progress.drained(), 4u);
  EXPECT_EQ(progress.read_index(), 4u);
  StoreU32(r.memory.data() + 4, 3);
  r.SetIndices(6, 3);  // the overlay also moves the read index back: only the two new records count
  EXPECT_EQ(ring.Drain([](const InputRecord&) {}, &more, &corrupt), 2u);
  EXPECT_EQ(progress.drained(), 6u);
  // A ring opened again (a new mapping) keeps counting into the same progress.
  InputRing reopened(r.memory.data(), &progress);
  r.SetIndices(7, 6);
  EXPECT_EQ(reopened.Drain([](const InputRecord&) {}, &more, &corrupt), 1u);
  EXPECT_EQ(progress.drained(), 7u);
}

TEST(Heartbeat, PublishesStagesAndFrames) {
  testing::ManualClock clock;
  std::vector<uint8_t> beat(kBeatMapSize, 0);
  Heartbeat hb(clock);
  hb.PublishStage(Stage::kInit, 0);  // before the beat map is open: in process only
  EXPECT_EQ(LoadU32(beat.data() + 12), 0u);
  hb.AttachBeatMap(beat.data());
  clock.AdvanceMs(5);
  hb.PublishStage(Stage::kPumpPipe, 3);
  EXPECT_EQ(LoadU32(beat.data() + 8), 2u);
  EXPECT_EQ(LoadU32(beat.data() + 20), 3u);
  EXPECT_EQ(LoadU32(beat.data() + 16), clock.TickMs());
  EXPECT_EQ(LoadU32(beat.data() + 12), 1u);
  hb.PublishFrameTick();
  hb.PublishFrameTick();
  EXPECT_EQ(LoadU32(beat.data()), 2u);
  EXPECT_EQ(hb.frame_counter(), 2);
  EXPECT_EQ(LoadU32(beat.data() + 4), clock.TickMs());
  EXPECT_STREQ(StageName(6), "wait_frame");
  EXPECT_STREQ(StageName(7), "unknown");
}

#if !defined(_WIN32)
// The overlay shrinks its objects under the host's mappings (on Linux a read past the end of a
// truncated object raises SIGBUS): the host gives the ring and the beat map up and goes on.
TEST(SharedChannels, ObjectsShrunkUnderTheMappingAreGivenUp) {
  ASSERT_TRUE(platform::InstallFaultGuard());
  const std::u16string ring_name = u"vyo_test_shrunk_ring_" + Utf8ToUtf16(std::to_string(platform::CurrentProcessId()));
  const std::u16string beat_name = ring_name + u"_beat";
  auto ring_owner = platform::SharedMemory::Create(ring_name, kInputRingSize);
  auto beat_owner = platform::SharedMemory::Create(beat_name, kBeatMapSize);
  ASSERT_TRUE(ring_owner && beat_owner);
  auto ring_map = platform::SharedMemory::OpenExisting(ring_name, kInputRingSize, platform::MapAccess::kWrite);
  auto beat_map = platform::SharedMemory::OpenExisting(beat_name, kBeatMapSize, platform::MapAccess::kWrite);
  ASSERT_TRUE(ring_map && beat_map);
  InputRing ring(ring_map->data());
  testing::ManualClock clock;
  Heartbeat heartbeat(clock);
  heartbeat.AttachBeatMap(beat_map->data());
  heartbeat.PublishStage(Stage::kPumpPipe, 1);
  StoreU32(ring_owner->data(), 1);  // one record written

  for (const std::u16string* name : {&ring_name, &beat_name}) {
    const int fd = shm_open(("/vyo." + Utf16ToUtf8(*name)).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 0), 0);
    close(fd);
  }
  bool more = false, corrupt = false;
  EXPECT_EQ(ring.Drain([](const InputRecord&) {}, &more, &corrupt), 0u);
  EXPECT_TRUE(corrupt);
  EXPECT_TRUE(ring.lost());
  EXPECT_EQ(ring.PendingCount(), 0);
  heartbeat.PublishStage(Stage::kPumpPipe, 2);
  heartbeat.PublishFrameTick();
  EXPECT_EQ(heartbeat.detail(), 2);  // the heartbeat goes on in process
  EXPECT_EQ(heartbeat.frame_counter(), 1);
}
#endif

}  // namespace
}  // namespace vyo::host
