// Named shared memory: what one side writes the other sees, sizes are checked, names go away with
// their objects, and a re-created object starts from zeros.
#include "platform/shared_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/test_support.h"

namespace vyo::platform {
namespace {

using testing::UniqueName;

// Not a multiple of the page size, so size checks cannot hide behind page rounding.
constexpr size_t kSize = 4096 + 100;

TEST(SharedMemoryTest, CreatorAndOpenersShareTheBytes) {
  const std::u16string name = UniqueName("shm");
  auto created = SharedMemory::Create(name, kSize);
  ASSERT_NE(created, nullptr);
  ASSERT_NE(created->data(), nullptr);
  EXPECT_EQ(created->size(), kSize);
  EXPECT_TRUE(std::all_of(created->data(), created->data() + kSize, [](uint8_t b) { return b == 0; }));
  for (size_t i = 0; i < kSize; ++i) created->data()[i] = static_cast<uint8_t>(i * 7 + 1);

  for (MapAccess access : {MapAccess::kRead, MapAccess::kWrite, MapAccess::kAll}) {
    SCOPED_TRACE(static_cast<int>(access));
    auto opened = SharedMemory::OpenExisting(name, kSize, access);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->size(), kSize);
    EXPECT_TRUE(std::equal(created->data(), created->data() + kSize, opened->data()));
    if (access != MapAccess::kRead) {
      opened->data()[kSize - 1] = static_cast<uint8_t>(0xA0 + static_cast<int>(access));
      EXPECT_EQ(created->data()[kSize - 1], opened->data()[kSize - 1]);
    }
  }

  // Opening a prefix of the object is fine.
  auto prefix = SharedMemory::OpenExisting(name, 64, MapAccess::kRead);
  ASSERT_NE(prefix, nullptr);
  EXPECT_EQ(prefix->size(), 64u);
  EXPECT_EQ(prefix->data()[10], created->data()[10]);
}

TEST(SharedMemoryTest, OpenRefusesMissingOrTooSmallObjects) {
  EXPECT_EQ(SharedMemory::OpenExisting(UniqueName("missing"), 16, MapAccess::kRead), nullptr);

  const std::u16string name = UniqueName("shm");
  auto created = SharedMemory::Create(name, kSize);
  ASSERT_NE(created, nullptr);
  std::vector<size_t> too_large = {kSize + 4096, kSize * 4};
#ifndef _WIN32
  // Shared memory objects have an exact size here. Windows sizes sections in whole pages, so a
  // request that stays within the last page cannot be told apart there.
  too_large.push_back(kSize + 1);
#endif
  for (size_t size : too_large) {
    EXPECT_EQ(SharedMemory::OpenExisting(name, size, MapAccess::kRead), nullptr) << size;
    EXPECT_EQ(SharedMemory::OpenExisting(name, size, MapAccess::kAll), nullptr) << size;
  }
  EXPECT_NE(SharedMemory::OpenExisting(name, kSize, MapAccess::kRead), nullptr);
}

TEST(SharedMemoryTest, NameGoesAwayWithTheLastHandle) {
  const std::u16string name = UniqueName("shm");
  auto created = SharedMemory::Create(name, kSize);
  ASSERT_NE(created, nullptr);
  created.reset();
  EXPECT_EQ(SharedMemory::OpenExisting(name, kSize, MapAccess::kRead), nullptr);
}

TEST(SharedMemoryTest, CreatingAgainGivesZeroedMemory) {
  const std::u16string name = UniqueName("shm");
  auto first = SharedMemory::Create(name, kSize);
  ASSERT_NE(first, nullptr);
  std::fill(first->data(), first->data() + kSize, uint8_t{0x5A});
  // An opener keeps the first object alive while it is created again.
  auto opener = SharedMemory::OpenExisting(name, kSize, MapAccess::kRead);
  ASSERT_NE(opener, nullptr);

  auto second = SharedMemory::Create(name, kSize);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->size(), kSize);
  EXPECT_TRUE(std::all_of(second->data(), second->data() + kSize, [](uint8_t b) { return b == 0; }));
  // Whoever opens the name now sees the new object.
  second->data()[5] = 42;
  auto reopened = SharedMemory::OpenExisting(name, kSize, MapAccess::kRead);
  ASSERT_NE(reopened, nullptr);
  EXPECT_EQ(reopened->data()[5], 42);
}

}  // namespace
}  // namespace vyo::platform
