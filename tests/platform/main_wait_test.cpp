// The main thread's wait: what ends it (timer, time-out, posted task, input event, pipe data),
// the remembered input signal, and the task queue.
#include "platform/main_wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/named_event.h"
#include "platform/pipe.h"
#include "platform/test_support.h"

namespace vyo::platform {
namespace {

using testing::MillisSince;
using testing::UniqueName;

constexpr int64_t k100nsPerMs = 10000;

// Runs `action` on another thread after a short delay, while the test thread waits.
class Later {
 public:
  template <typename Action>
  explicit Later(Action action)
      : thread_([action] {
          std::this_thread::sleep_for(std::chrono::milliseconds(30));
          action();
        }) {}
  ~Later() { thread_.join(); }
  Later(const Later&) = delete;
  Later& operator=(const Later&) = delete;

 private:
  std::thread thread_;
};

TEST(MainThreadWaitTest, TimerAndTimeoutElapse) {
  auto wait = MainThreadWait::Create();
  ASSERT_NE(wait, nullptr);
  EXPECT_FALSE(wait->HasFrameTimer());
  WaitResult result = WaitResult::kWoken;
  EXPECT_FALSE(wait->WaitOnTimer(20 * k100nsPerMs, &result));  // no timer yet

  wait->CreateFrameTimer();
  ASSERT_TRUE(wait->HasFrameTimer());
  for (int round = 0; round < 2; ++round) {  // the timer can be armed again
    const auto start = std::chrono::steady_clock::now();
    result = WaitResult::kWoken;
    ASSERT_TRUE(wait->WaitOnTimer(20 * k100nsPerMs, &result));
    EXPECT_EQ(result, WaitResult::kElapsed);
    EXPECT_GE(MillisSince(start), 15);
    EXPECT_LT(MillisSince(start), 2000);
  }

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(wait->WaitTimeout(30), WaitResult::kElapsed);
  EXPECT_GE(MillisSince(start), 20);

  wait->CloseFrameTimer();
  EXPECT_FALSE(wait->HasFrameTimer());
  EXPECT_FALSE(wait->TimerPeriodRaised());
  EXPECT_FALSE(wait->WaitOnTimer(20 * k100nsPerMs, &result));
  wait->CloseFrameTimer();  // twice is harmless
}

TEST(MainThreadWaitTest, PostFromAnotherThreadWakesBothWaits) {
  auto wait = MainThreadWait::Create();
  ASSERT_NE(wait, nullptr);
  wait->CreateFrameTimer();
  ASSERT_TRUE(wait->HasFrameTimer());
  std::vector<int> ran;

  for (bool with_timer : {false, true}) {
    SCOPED_TRACE(with_timer ? "timer" : "timeout");
    ran.clear();
    WaitResult result = WaitResult::kElapsed;
    const auto start = std::chrono::steady_clock::now();
    {
      Later poster([&] {
        wait->Post([&] { ran.push_back(1); });
        wait->Post([&] { ran.push_back(2); });
      });
      if (with_timer) {
        ASSERT_TRUE(wait->WaitOnTimer(3000 * k100nsPerMs, &result));
      } else {
        result = wait->WaitTimeout(3000);
      }
    }
    EXPECT_EQ(result, WaitResult::kWoken);
    EXPECT_LT(MillisSince(start), 2000);
    EXPECT_TRUE(ran.empty());  // tasks run only when pumped, on this thread
    EXPECT_EQ(wait->PumpMessages(100, 1000), 2);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    EXPECT_EQ(wait->PumpMessages(100, 1000), 0);
  }
}

TEST(MainThreadWaitTest, PumpStopsAtMaxItemsAndKeepsOrder) {
  auto wait = MainThreadWait::Create();
  ASSERT_NE(wait, nullptr);
  std::vector<int> ran;
  for (int i = 0; i < 5; ++i) wait->Post([&ran, i] { ran.push_back(i); });
  EXPECT_EQ(wait->PumpMessages(2, 1000), 2);
  EXPECT_EQ(ran, (std::vector<int>{0, 1}));
  // A task may post another; it runs after those already queued.
  wait->Post([&] { wait->Post([&] { ran.push_back(9); }); });
  EXPECT_EQ(wait->PumpMessages(100, 1000), 5);
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4, 9}));
}

TEST(MainThreadWaitTest, PumpStopsWhenTheBudgetIsSpent) {
  auto wait = MainThreadWait::Create();
  ASSERT_NE(wait, nullptr);
  int ran = 0;
  for (int i = 0; i < 10; ++i) {
    wait->Post([&] {
      ++ran;
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    });
  }
  const int handled = wait->PumpMessages(100, 40);
  EXPECT_GE(handled, 1);
  EXPECT_LT(handled, 10);
  EXPECT_EQ(handled, ran);
  EXPECT_EQ(wait->PumpMessages(100, 10000), 10 - handled);
}

TEST(MainThreadWaitTest, InputEventWakesAndItsSignalIsHandedOnOnce) {
  const std::u16string name = UniqueName("input");
  auto overlay_event = NamedEvent::Create(name);
  ASSERT_NE(overlay_event, nullptr);
  auto host_event = NamedEvent::Open(name);
  ASSERT_NE(host_event, nullptr);
  auto wait = MainThreadWait::Create();
  ASSERT_NE(wait, nullptr);
  wait->WatchInputEvent(host_event.get());
  EXPECT_FALSE(wait->ConsumeInputSignal());

  // The signal arrives during the wait and ends it.
  const auto start = std::chrono::steady_clock::now();
  WaitResult result;
  {
    Later signaller([&] { overlay_event->Signal(); });
    result = wait->WaitTimeout(3000);
  }
  EXPECT_EQ(result, WaitResult::kWoken);
  EXPECT_LT(MillisSince(start), 2000);
  EXPECT_TRUE(wait->ConsumeInputSignal());
  EXPECT_FALSE(wait->ConsumeInputSignal());
  // Consumed: it does not end the next wait.
  EXPECT_EQ(wait->WaitTimeout(50), WaitResult::kElapsed);

  // A signal that arrives with no wait running is found by the input stage's poll.
  overlay_event->Signal();
  EXPECT_TRUE(wait->ConsumeInputSignal());
  EXPECT_FALSE(wait->ConsumeInputSignal());

  // Unwatched, the event no longer ends a wait.
  wait->WatchInputEvent(nullptr);
  overlay_event->Signal();
  EXPECT_EQ(wait->WaitTimeout(50), WaitResult::kElapsed);
  EXPECT_TRUE(host_event->TryWait());
}

TEST(MainThreadWaitTest, PipeDataWakesAndStaysReadable) {
  const std::u16string name = UniqueName("waitpipe");
  auto server = PipeServer::Create(name);
  ASSERT_NE(server, nullptr);
  auto client = PipeClient::Connect(name, 2000);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(server->WaitForClient(nullptr, nullptr));
  auto wait = MainThreadWait::Create();
  ASSERT_NE(wait, nullptr);
  wait->WatchPipe(server.get());

  // Nothing to read: the wait runs its full time.
  EXPECT_EQ(wait->WaitTimeout(50), WaitResult::kElapsed);

  const uint8_t header[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const uint8_t payload[40] = {42, 43, 44};
  const auto start = std::chrono::steady_clock::now();
  WaitResult result;
  {
    Later writer([&] {
      client->WriteMessage(header, sizeof(header));
      client->WriteMessage(payload, sizeof(payload));
    });
    result = wait->WaitTimeout(3000);
  }
  EXPECT_EQ(result, WaitResult::kWoken);
  EXPECT_LT(MillisSince(start), 2000);

  // Data already waiting ends the next wait at once, including one on the timer.
  EXPECT_EQ(wait->WaitTimeout(3000), WaitResult::kWoken);
  wait->CreateFrameTimer();
  WaitResult timer_result = WaitResult::kElapsed;
  ASSERT_TRUE(wait->WaitOnTimer(3000 * k100nsPerMs, &timer_result));
  EXPECT_EQ(timer_result, WaitResult::kWoken);
  EXPECT_LT(MillisSince(start), 2000);

  // The waits took nothing: both messages are whole.
  uint8_t got_header[16] = {};
  ASSERT_EQ(server->ReadMessage(got_header, sizeof(got_header)), PipeResult::kOk);
  EXPECT_EQ(0, std::memcmp(header, got_header, sizeof(header)));
  uint8_t got_payload[40] = {};
  ASSERT_EQ(server->ReadMessage(got_payload, sizeof(got_payload)), PipeResult::kOk);
  EXPECT_EQ(0, std::memcmp(payload, got_payload, sizeof(payload)));

  // All read: the wait runs its full time again, and the pipe still works both ways.
  EXPECT_EQ(wait->WaitTimeout(50), WaitResult::kElapsed);
  ASSERT_EQ(client->WriteMessage(header, sizeof(header)), PipeResult::kOk);
  EXPECT_EQ(wait->WaitTimeout(3000), WaitResult::kWoken);
  ASSERT_EQ(server->ReadMessage(got_header, sizeof(got_header)), PipeResult::kOk);
  ASSERT_EQ(server->WriteMessage(payload, sizeof(payload)), PipeResult::kOk);
  uint32_t size = 0;
  ASSERT_EQ(client->Poll(2000, &size), PipeResult::kOk);
  EXPECT_EQ(size, sizeof(payload));
}

}  // namespace
}  // namespace vyo::platform
