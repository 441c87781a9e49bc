#include "Platform/SystemTimeSource.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace hushwall {
namespace {

TEST(SystemTimeSource, ReadsTheLiveClocks) {
  SystemTimeSource clock;
  double first = clock.continuous();
  double previous = first;
  for (int i = 0; i < 1000; ++i) {
    double now = clock.continuous();
    ASSERT_GE(now, previous);
    previous = now;
  }
  EXPECT_GT(first, 0);

  std::string bootID = clock.bootID();
  EXPECT_EQ(bootID.size(), 36u) << bootID;
  EXPECT_EQ(clock.bootID(), bootID);

  Date wall = clock.wallClock();
  EXPECT_GT(wall, Date::fromUnix(1.7e9));
  // Boot time is the wall clock minus the time since boot; two readings agree closely.
  Date boot = clock.bootTime();
  EXPECT_LT(boot, wall);
  EXPECT_NEAR(wall - boot, clock.continuous(), 1.0);
  EXPECT_NEAR(clock.bootTime().sinceReferenceDate, boot.sinceReferenceDate, 1.0);
}

}  // namespace
}  // namespace hushwall
