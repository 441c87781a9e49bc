#include "Platform/JournalLogSink.hpp"

#include <gtest/gtest.h>

namespace hushwall {
namespace {

TEST(JournalLogSink, SendsTheFiveFieldsVerbatimAndWithoutAJournalOneLineOnStandardError) {
  LogRecord record{LogLevel::error, "org.hushwall.daemon", "watcher", "line one\nline two = 90s"};
  EXPECT_EQ(JournalLogSink::fields(record),
            (std::vector<std::string>{"MESSAGE=line one\nline two = 90s", "PRIORITY=3", "SYSLOG_IDENTIFIER=hushwalld",
                                      "HUSHWALL_SUBSYSTEM=org.hushwall.daemon", "HUSHWALL_CATEGORY=watcher"}));
  if (journalAvailable()) GTEST_SKIP() << "a journal is listening; its lines cannot be read back here";
  JournalLogSink sink;
  ::testing::internal::CaptureStderr();
  sink.write({LogLevel::notice, "org.hushwall.daemon", "lifecycle", "HushwallDaemon starting, uid=0"});
  sink.write({LogLevel::debug, "org.hushwall.daemon", "watcher", "watching /x is deferred; path is absent"});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "default org.hushwall.daemon[lifecycle] HushwallDaemon starting, uid=0\n"
            "debug org.hushwall.daemon[watcher] watching /x is deferred; path is absent\n");
}

}  // namespace
}  // namespace hushwall
