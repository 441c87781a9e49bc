#include "DaemonCore/BlockController.hpp"

#include <gtest/gtest.h>

#include <mutex>

namespace hushwall {
namespace {

TEST(BlockControllerDeathTest, TakingTheMutationLockTwiceOnOneThreadAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        std::lock_guard outer(BlockController::mutationLock());
        std::lock_guard inner(BlockController::mutationLock());
      },
      "UnfairLock taken again");
}

}  // namespace
}  // namespace hushwall
