// Named auto-reset events: the overlay creates and signals, the host opens and polls.
#include "platform/named_event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/test_support.h"

namespace vyo::platform {
namespace {

using testing::MillisSince;
using testing::UniqueName;

TEST(NamedEventTest, OpenOfAMissingNameIsNull) {
  EXPECT_EQ(NamedEvent::Open(UniqueName("noevent")), nullptr);
}

TEST(NamedEventTest, SignalIsSeenOnceByTheOpener) {
  const std::u16string name = UniqueName("event");
  auto overlay = NamedEvent::Create(name);
  ASSERT_NE(overlay, nullptr);
  auto host = NamedEvent::Open(name);
  ASSERT_NE(host, nullptr);

  EXPECT_FALSE(host->TryWait());
  overlay->Signal();
  EXPECT_TRUE(host->TryWait());
  EXPECT_FALSE(host->TryWait());  // auto-reset: the poll took the signal

  // Several signals before a poll read as one.
  overlay->Signal();
  overlay->Signal();
  overlay->Signal();
  EXPECT_TRUE(host->TryWait());
  EXPECT_FALSE(host->TryWait());
}

TEST(NamedEventTest, WaitEndsOnSignalOrTimeout) {
  const std::u16string name = UniqueName("event");
  auto overlay = NamedEvent::Create(name);
  ASSERT_NE(overlay, nullptr);
  auto host = NamedEvent::Open(name);
  ASSERT_NE(host, nullptr);

  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(host->Wait(50));
  EXPECT_GE(MillisSince(start), 40);

  std::thread signaller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    overlay->Signal();
  });
  start = std::chrono::steady_clock::now();
  EXPECT_TRUE(host->Wait(5000));
  EXPECT_LT(MillisSince(start), 2000);
  signaller.join();
  EXPECT_FALSE(host->TryWait());
}

TEST(NamedEventTest, CreatingAgainStartsUnsignalled) {
  const std::u16string name = UniqueName("event");
  auto first = NamedEvent::Create(name);
  ASSERT_NE(first, nullptr);
  first->Signal();
  auto second = NamedEvent::Create(name);
  ASSERT_NE(second, nullptr);
  auto host = NamedEvent::Open(name);
  ASSERT_NE(host, nullptr);
  EXPECT_FALSE(host->TryWait());
  second->Signal();
  EXPECT_TRUE(host->TryWait());
}

}  // namespace
}  // namespace vyo::platform
