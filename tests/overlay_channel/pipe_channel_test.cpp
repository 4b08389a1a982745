#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "fakes/fake_pipe.h"
#include "fakes/manual_clock.h"
#include "overlay_channel/pipe_channel.h"
#include "platform/clock.h"
#include "platform/test_support.h"
#include "protocol/protocol.h"
#include "protocol/wire.h"

namespace vyo::host {
namespace {

using testing::FakePipe;
using testing::PushFrame;

struct WriterFixture : ::testing::Test {
  FakePipe pipe;
  std::mutex write_lock;
  testing::ManualClock clock;
  PipeWriter writer{&pipe, &write_lock, clock};
};

TEST_F(WriterFixture, RefusesBeforeStartAndWritesTwoMessagesPerFrame) {
  const uint8_t payload[3] = {1, 2, 3};
  EXPECT_FALSE(writer.Send(kViewStatus, payload, 3));
  writer.Start();
  ASSERT_TRUE(writer.Send(kViewStatus, payload, 3));
  ASSERT_TRUE(writer.Send(kExitRequest, nullptr, 0));
  ASSERT_TRUE(writer.WaitUntilIdle(5000));
  writer.Stop(2000, nullptr);
  const auto written = pipe.Written();
  ASSERT_EQ(written.size(), 3u);  // header + payload, then a header alone for the empty frame
  EXPECT_EQ(written[0].size(), 16u);
  EXPECT_EQ(written[1], (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(LoadU32(written[2].data() + 8), static_cast<uint32_t>(kExitRequest));
  EXPECT_FALSE(writer.Send(kViewStatus, payload, 3));  // stopped
}

TEST_F(WriterFixture, QueueLimitToleratesOnlyLogHeartbeatAndPageLosses) {
  pipe.SetWriteMode(FakePipe::WriteMode::kBlock);
  writer.Start();
  const uint8_t b[8] = {};
  ASSERT_TRUE(writer.Send(kViewStatus, b, 8));  // taken by the writer, which then blocks
  ASSERT_TRUE(pipe.WaitBlocked(5000));
  for (size_t i = 0; i < kSendQueueLimit; ++i) ASSERT_TRUE(writer.Send(kViewStatus, b, 8)) << i;
  EXPECT_FALSE(writer.Send(kHostLog, b, 8));
  EXPECT_FALSE(writer.Send(kHitMaskHeartbeat, b, 8));
  EXPECT_FALSE(writer.Send(kPageMessage, b, 8));
  EXPECT_FALSE(writer.Send(kSelectionChanged, b, 8));
  EXPECT_FALSE(writer.write_failed());
  EXPECT_FALSE(writer.Send(kViewStatus, b, 8));
  EXPECT_TRUE(writer.write_failed());
  EXPECT_FALSE(writer.peer_gone());
  writer.Stop(2000, nullptr);  // cancels the blocked write
}

// An overlay that stops reading finds one heartbeat waiting, the newest, and room is left for
// frames that must not be dropped.
TEST_F(WriterFixture, AWaitingHeartbeatIsReplacedByTheNewerOne) {
  pipe.SetWriteMode(FakePipe::WriteMode::kBlock);
  writer.Start();
  const uint8_t b[8] = {};
  ASSERT_TRUE(writer.Send(kViewStatus, b, 8));  // taken by the writer, which then blocks
  ASSERT_TRUE(pipe.WaitBlocked(5000));
  for (uint8_t i = 0; i < 2 * kSendQueueLimit / 256 + 1; ++i) {
    for (int k = 0; k < 256; ++k) {
      const uint8_t beat[12] = {i, static_cast<uint8_t>(k)};
      ASSERT_TRUE(writer.Send(kHitMaskHeartbeat, beat, 12));
    }
  }
  for (size_t i = 0; i + 1 < kSendQueueLimit; ++i) ASSERT_TRUE(writer.Send(kViewStatus, b, 8)) << i;
  EXPECT_FALSE(writer.write_failed());
  pipe.SetWriteMode(FakePipe::WriteMode::kOk);
  ASSERT_TRUE(writer.WaitUntilIdle(5000));
  writer.Stop(2000, nullptr);
  std::vector<std::vector<uint8_t>> beats;
  const auto written = pipe.Written();
  for (size_t i = 0; i + 1 < written.size(); ++i) {
    if (written[i].size() == 16 && LoadU32(written[i].data() + 8) == kHitMaskHeartbeat) beats.push_back(written[i + 1]);
  }
  ASSERT_EQ(beats.size(), 1u);
  EXPECT_EQ(beats[0][0], 2 * kSendQueueLimit / 256);  // the newest
  EXPECT_EQ(beats[0][1], 255);
}

TEST_F(WriterFixture, OversizedPayloadIsRefusedWithoutFailingTheChannel) {
  writer.Start();
  std::vector<uint8_t> big(kMaxPayload + 1);
  EXPECT_FALSE(writer.Send(kPageMessage, big.data(), big.size()));
  EXPECT_FALSE(writer.write_failed());
  big.resize(kMaxPayload);
  EXPECT_TRUE(writer.Send(kPageMessage, big.data(), big.size()));
  writer.Stop(2000, nullptr);
}

TEST_F(WriterFixture, BrokenPipeIsTheOverlayGoingAway) {
  pipe.SetWriteMode(FakePipe::WriteMode::kBroken);
  writer.Start();
  const uint8_t b[4] = {};
  ASSERT_TRUE(writer.Send(kViewStatus, b, 4));
  for (int i = 0; i < 500 && !writer.write_failed(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(writer.write_failed());
  EXPECT_TRUE(writer.peer_gone());
  EXPECT_FALSE(writer.Send(kViewStatus, b, 4));  // nothing is queued after the writer failed
}

TEST_F(WriterFixture, OtherWriteFailuresAreChannelFailures) {
  pipe.SetWriteMode(FakePipe::WriteMode::kFail);
  writer.Start();
  const uint8_t b[4] = {};
  ASSERT_TRUE(writer.Send(kViewStatus, b, 4));
  for (int i = 0; i < 500 && !writer.write_failed(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(writer.write_failed());
  EXPECT_FALSE(writer.peer_gone());
}

TEST_F(WriterFixture, StuckWriterIsReportedOnStop) {
  pipe.SetWriteMode(FakePipe::WriteMode::kBlock);
  writer.Start();
  const uint8_t b[4] = {};
  ASSERT_TRUE(writer.Send(kViewStatus, b, 4));
  ASSERT_TRUE(pipe.WaitBlocked(5000));
  // The fake honours the cancel, so the writer ends within the first 20 ms step.
  bool stuck = false;
  writer.Stop(2000, [&] { stuck = true; });
  EXPECT_FALSE(stuck);
  EXPECT_EQ(pipe.WrittenCount(), 0u);
}

// Senders on several threads through a real pipe whose reader starts late, so frames go out
// directly, stop half-way on a full pipe and queue behind each other: every frame arrives whole,
// each sender's frames in order, and the writer ends idle and healthy.
TEST(PipeWriterRealPipeTest, DirectAndQueuedWritesKeepFramesWholeAndInOrder) {
  const std::u16string name = platform::testing::UniqueName("writer");
  auto server = platform::PipeServer::Create(name);
  ASSERT_NE(server, nullptr);
  auto client = platform::PipeClient::Connect(name, 2000);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(server->WaitForClient(nullptr, nullptr));
  std::mutex write_lock;
  PipeWriter writer(server.get(), &write_lock, platform::SystemClock());
  writer.Start();

  constexpr int kThreads = 4;
  constexpr int kFrames = 100;
  const auto payload_of = [](int thread, int seq) {
    // Sizes from 0 to about 200 KiB, so a full pipe is met in the middle of frames.
    std::vector<uint8_t> p(static_cast<size_t>((seq * 7919 + thread * 104729) % 200000));
    if (seq % 10 == 0) p.clear();
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 13 + static_cast<size_t>(seq + thread));
    if (p.size() >= 8) {
      StoreU32(p.data(), static_cast<uint32_t>(thread));
      StoreU32(p.data() + 4, static_cast<uint32_t>(seq));
    }
    return p;
  };
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kFrames; ++i) {
        const auto p = payload_of(t, i);
        EXPECT_TRUE(writer.Send(kViewStatus, p.data(), p.size())) << t << " " << i;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the pipe fills meanwhile

  std::vector<int> next(kThreads, 0);
  int received = 0;
  std::vector<uint8_t> in(0x100000);
  while (received < kThreads * kFrames) {
    uint32_t size = 0;
    ASSERT_EQ(client->Poll(5000, &size), platform::PipeResult::kOk);
    ASSERT_EQ(size, 16u) << "after " << received << " frames";
    ASSERT_EQ(client->ReadMessage(in.data(), 16), platform::PipeResult::kOk);
    const FrameHeader header = DecodeFrameHeader(in.data());
    ASSERT_TRUE(IsValidFrameHeader(header));
    std::vector<uint8_t> payload;
    if (header.length != 0) {
      ASSERT_EQ(client->Poll(5000, &size), platform::PipeResult::kOk);
      ASSERT_EQ(size, header.length);
      payload.resize(size);
      ASSERT_EQ(client->ReadMessage(payload.data(), size), platform::PipeResult::kOk);
    }
    ++received;
    if (payload.size() < 8) continue;  // too short to name its sender
    const uint32_t t = LoadU32(payload.data());
    const uint32_t seq = LoadU32(payload.data() + 4);
    ASSERT_LT(t, static_cast<uint32_t>(kThreads));
    ASSERT_GE(static_cast<int>(seq), next[t]) << "thread " << t;
    ASSERT_EQ(payload, payload_of(static_cast<int>(t), static_cast<int>(seq)));
    next[t] = static_cast<int>(seq) + 1;
  }
  for (auto& s : senders) s.join();
  EXPECT_TRUE(writer.WaitUntilIdle(2000));
  EXPECT_FALSE(writer.write_failed());
  EXPECT_EQ(writer.queued(), 0u);
  writer.Stop(2000, nullptr);
}

struct PumpFixture : ::testing::Test {
  FakePipe pipe;
  testing::ManualClock clock;
  std::vector<std::pair<uint32_t, size_t>> seen;
  PumpResult Pump() {
    return PumpPipeFrames(pipe, clock, kMaxPayload, [&](uint32_t type, const std::vector<uint8_t>& payload) {
      seen.emplace_back(type, payload.size());
      return true;
    });
  }
};

TEST_F(PumpFixture, SixtyFourFramesPerCall) {
  for (int i = 0; i < 65; ++i) PushFrame(pipe, 19, {1, 0, 0, 0, 1, 0, 0, 0});
  PumpResult r = Pump();
  EXPECT_EQ(r.frames, 64);
  EXPECT_EQ(r.stop, PumpStop::kNone);
  r = Pump();
  EXPECT_EQ(r.frames, 1);
  EXPECT_EQ(seen.size(), 65u);
}

TEST_F(PumpFixture, EmptyPayloadIsDispatchedWithoutAPayloadRead) {
  PushFrame(pipe, 8, {});
  EXPECT_EQ(Pump().frames, 1);
  EXPECT_EQ(seen.at(0), (std::pair<uint32_t, size_t>{8, 0}));
  EXPECT_EQ(pipe.reads(), 1);
}

TEST_F(PumpFixture, MalformedAndClosedPipes) {
  struct Case {
    const char* name;
    std::function<void(FakePipe&)> setup;
    PumpStop expected;
    size_t dispatched;
  } cases[] = {
      {"max payload accepted", [](FakePipe& p) { PushFrame(p, 14, std::vector<uint8_t>(0x100000, 1)); },
       PumpStop::kNone, 1},
      {"payload above 1 MiB", [](FakePipe& p) { PushFrame(p, 14, std::vector<uint8_t>(0x100001, 1)); },
       PumpStop::kMalformed, 0},
      {"version 2", [](FakePipe& p) { PushFrame(p, 1, {}, 2); }, PumpStop::kMalformed, 0},
      {"bad magic", [](FakePipe& p) { p.PushMessage(std::vector<uint8_t>(16, 0xAB)); }, PumpStop::kMalformed, 0},
      {"short header message", [](FakePipe& p) { p.PushMessage(std::vector<uint8_t>(15, 0)); }, PumpStop::kMalformed, 0},
      {"header and payload in one message",
       [](FakePipe& p) {
         std::vector<uint8_t> m = {0x54, 0x32, 0x56, 0x57, 1, 0, 0, 0, 19, 0, 0, 0, 8, 0, 0, 0};
         m.resize(24, 1);
         p.PushMessage(m);
       },
       PumpStop::kMalformed, 0},
      {"closed", [](FakePipe& p) { p.CloseIncoming(); }, PumpStop::kClosed, 0},
  };
  for (const auto& c : cases) {
    FakePipe fresh;
    c.setup(fresh);
    size_t dispatched = 0;
    const PumpResult r = PumpPipeFrames(fresh, clock, kMaxPayload, [&](uint32_t, const std::vector<uint8_t>&) {
      ++dispatched;
      return true;
    });
    EXPECT_EQ(r.stop, c.expected) << c.name;
    EXPECT_EQ(dispatched, c.dispatched) << c.name;
  }
}

}  // namespace
}  // namespace vyo::host
