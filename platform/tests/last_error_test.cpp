#include <platform/last_error.h>

#include <gtest/gtest.h>

#include <thread>

TEST(LastError, IsKeptPerThread) {
  platform::set_last_error(0x20000080);
  uint32_t seen_by_other = 1;
  std::thread other([&] {
    seen_by_other = platform::last_error();
    platform::set_last_error(0x20000102);
  });
  other.join();
  EXPECT_EQ(seen_by_other, 0u);
  EXPECT_EQ(platform::last_error(), 0x20000080u);
  platform::clear_last_error();
  EXPECT_EQ(platform::last_error(), 0u);
}
