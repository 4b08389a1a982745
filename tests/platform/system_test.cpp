// Clocks, process facts and the main thread's long-lived objects.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/system.h"

namespace vyo::platform {
namespace {

TEST(ClockTest, TicksAndCounterAdvanceTogether) {
  Clock& clock = SystemClock();
  ASSERT_GT(clock.PerfFrequency(), 0);

  // The 32-bit tick is the low half of the 64-bit one.
  const uint64_t before64 = clock.Tick64();
  const uint32_t tick32 = clock.TickMs();
  const uint64_t after64 = clock.Tick64();
  EXPECT_LE(static_cast<uint32_t>(tick32 - static_cast<uint32_t>(before64)),
            static_cast<uint32_t>(after64 - before64));

  const int64_t counter_start = clock.PerfCounter();
  const uint64_t tick_start = clock.Tick64();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const int64_t counter_end = clock.PerfCounter();
  const uint64_t tick_end = clock.Tick64();
  const int64_t counter_ms = PerfMillis(counter_start, counter_end, clock.PerfFrequency());
  EXPECT_GE(counter_ms, 45);
  EXPECT_LT(counter_ms, 2000);
  // The tick may be coarse (about 16 ms on Windows).
  EXPECT_GE(tick_end - tick_start, 30u);
  EXPECT_LT(tick_end - tick_start, 2000u);
}

TEST(SystemTest, OsVersionIsRead) {
  const OsVersion version = GetOsVersion();
  EXPECT_GT(version.major, 0u);
}

TEST(SystemTest, DpiAwarenessMatchesThePlatform) {
  const int awareness = ApplyDpiAwareness();
  if (HasWindowSystem()) {
    EXPECT_GE(awareness, 1);
    EXPECT_LE(awareness, 2);
  } else {
    EXPECT_EQ(awareness, 0);
  }
}

TEST(SystemTest, HostWindowExistsWhereThereIsAWindowSystem) {
  auto first = HostWindow::Create();
  if (!HasWindowSystem()) {
    EXPECT_EQ(first, nullptr);
    return;
  }
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first->Handle(), 0);
  // The window class is registered once; later windows reuse it.
  auto second = HostWindow::Create();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second->Handle(), first->Handle());
}

TEST(SystemTest, ApartmentCanBeEnteredOnTheMainThread) {
  ASSERT_TRUE(InitMainThreadApartment());
  // Entering again on the same thread is accepted too.
  EXPECT_TRUE(InitMainThreadApartment());
  EndMainThreadApartment();
  EndMainThreadApartment();
}

TEST(SystemTest, GpuDeviceReportsItsKindAndLevel) {
  auto device = GpuDevice::Create();
  if (!HasWindowSystem()) {
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(device->Kind(), "cpu");
    EXPECT_EQ(device->FeatureLevel(), 0u);
    return;
  }
  if (!device) GTEST_SKIP() << "no hardware Direct3D 11 device on this machine";
  EXPECT_STREQ(device->Kind(), "d3d11");
  const uint32_t level = device->FeatureLevel();
  EXPECT_TRUE(level == 0xb100 || level == 0xb000 || level == 0xa100) << std::hex << level;
}

}  // namespace
}  // namespace vyo::platform
