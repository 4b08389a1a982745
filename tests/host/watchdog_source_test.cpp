// The host's watchdog source: what it reads of the input ring and the heartbeat.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "fakes/manual_clock.h"
#include "host/watchdog_source.h"
#include "overlay_channel/overlay_channel.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "protocol/wire.h"
#include "shared_channels/channels.h"
#include "watchdog/fake_source.h"
#include "watchdog/watchdog.h"

namespace vyo::host {
namespace {

// The host's watchdog source over a real shared ring, sampled by a watchdog on a manual clock: an
// overlay that keeps moving the ring's read index does not count as progress and cannot hide the
// records waiting (the 8 s input threshold applies, not the 30 s idle one); records the host drains
// do count.
TEST(HostWatchdogSource, ProgressIsWhatTheHostDrainedNotTheRingsReadIndex) {
  const std::u16string name = u"vyo_test_wd_ring_" + Utf8ToUtf16(std::to_string(platform::CurrentProcessId()));
  struct Case {
    bool host_drains;
    int64_t verdict_ms;  // -1: none within a minute
  };
  for (const Case c : {Case{false, 8000}, Case{true, -1}}) {
    SCOPED_TRACE(c.host_drains ? "host drains" : "overlay scribbles");
    testing::ManualClock clock;
    clock.AdvanceMs(1000);  // a stage tick of 0 would mean "no stage published yet"
    Heartbeat heartbeat(clock);
    heartbeat.PublishStage(Stage::kPumpInput, 0);
    auto map = platform::SharedMemory::Create(name, kInputRingSize);
    ASSERT_NE(map, nullptr);
    std::shared_ptr<platform::SharedMemory> shared(std::move(map));
    uint8_t* memory = shared->data();
    InputRing ring(memory, &heartbeat.input_progress());
    OverlayChannel overlay(clock);
    HostWatchdogSource source(heartbeat, shared, overlay, nullptr, 0);
    watchdog::testing::RecordingLog log;
    watchdog::StallReportWriter writer(u"", log);
    std::vector<uint32_t> codes;
    watchdog::Watchdog dog(clock, source, writer, 4242, [&](uint32_t code) { codes.push_back(code); });
    dog.Reset();

    uint32_t write = 0;
    int64_t verdict_at = -1;
    for (int64_t t = 500; t <= 60000 && verdict_at < 0; t += 500) {
      clock.AdvanceMs(500);
      write = (write + 1) % kInputSlots;  // the overlay adds a record each sample
      StoreU32(memory, write);
      bool more = false, corrupt = false;
      if (c.host_drains) {
        ring.Drain([](const InputRecord&) {}, &more, &corrupt);
      } else {
        StoreU32(memory + 4, write);  // and claims every record was taken
        EXPECT_EQ(source.InputDrained(), 0u);
        EXPECT_GT(source.InputPending(), 0);
      }
      if (dog.Poll() != watchdog::Verdict::kNone) verdict_at = t;
    }
    EXPECT_EQ(verdict_at, c.verdict_ms);
    if (c.host_drains) {
      EXPECT_EQ(source.InputDrained(), 120u);
      EXPECT_EQ(source.InputPending(), 0);
      EXPECT_TRUE(codes.empty());
    } else {
      EXPECT_EQ(codes, std::vector<uint32_t>{watchdog::kExitStall});
    }
  }
}

}  // namespace
}  // namespace vyo::host
