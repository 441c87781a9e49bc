#include "HushwallCore/Log.hpp"

#include <gtest/gtest.h>


#include "HushwallCore/Strings.hpp"
#include "support/CapturingLogSink.hpp"

namespace hushwall {
namespace {

TEST(Log, SinkReceivesLevelSubsystemCategoryAndText) {
  testing::CapturingLogSink sink;
  Logger logger("org.hushwall.daemon", "session");
  logger.notice(cat("session ", "ABC", " started, ", 90L, "s"));
  logger.fault(cat("stuck=", true));
  logger.debug("detail");
  logger.error("refused");
  auto records = sink.records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0], (LogRecord{LogLevel::notice, "org.hushwall.daemon", "session", "session ABC started, 90s"}));
  EXPECT_EQ(records[1].message, "stuck=true");
  EXPECT_EQ(records[1].level, LogLevel::fault);
  EXPECT_EQ(static_cast<int>(records[2].level), 7);
  EXPECT_EQ(static_cast<int>(records[3].level), 3);
  EXPECT_EQ(levelName(LogLevel::notice), "default");
}

}  // namespace
}  // namespace hushwall
