#include "Platform/SystemTimeSource.hpp"

#include <gtest/gtest.h>

namespace hushwall {
namespace {

TEST(SystemTimeSource, ReadsTheLiveClocks) {
  SystemTimeSource clock;
  EXPECT_EQ(clock.bootID().size(), 36u) << clock.bootID();  // a UUID, without the line feed
  // Boot time is the wall clock minus the time since boot.
  EXPECT_NEAR(clock.wallClock() - clock.bootTime(), clock.continuous(), 1.0);
  EXPECT_GT(clock.continuous(), 0);
}

}  // namespace
}  // namespace hushwall
