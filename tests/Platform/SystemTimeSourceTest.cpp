#include "Platform/SystemTimeSource.hpp"

#include <gtest/gtest.h>

namespace hushwall {
namespace {

TEST(SystemTimeSource, ReadsTheLiveClocks) {
  SystemTimeSource clock;
  double continuous = clock.continuous();
  EXPECT_GT(continuous, 0);
  EXPECT_GE(clock.continuous(), continuous);
  EXPECT_EQ(clock.bootID().size(), 36u) << clock.bootID();
  EXPECT_EQ(clock.bootID(), clock.bootID());
  // Boot time is the wall clock minus the time since boot.
  Date wall = clock.wallClock(), boot = clock.bootTime();
  EXPECT_GT(wall, Date::fromUnix(1.7e9));
  EXPECT_NEAR(wall - boot, clock.continuous(), 1.0);
}

}  // namespace
}  // namespace hushwall
