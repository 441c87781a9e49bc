#include "DaemonService/ReplacementCheck.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

namespace fs = std::filesystem;
using Replacement = HandoverPolicy::Replacement;

// This test binary is stamped as the daemon, so a copy of it is a genuine replacement.
class ReplacementCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file("/proc/self/exe", path);
    launched = ReplacementCheck::identity(path);
    ASSERT_TRUE(launched);
  }

  void replaceWith(const std::string& file) {
    std::string next = directory.file(".next");
    fs::copy_file(file, next);
    fs::rename(next, path);
  }

  ReplacementCheck check(ReplacementCheck::SelfCheck selfCheck = {}) {
    return ReplacementCheck(path, std::string(CodeSigningRequirement::forDaemon), CodeRequirement::Owner::processUser,
                            launched, std::move(selfCheck));
  }

  testing::CapturingLogSink logs;
  testing::TemporaryDirectory directory;
  std::string path = directory.file("hushwalld");
  std::optional<ReplacementCheck::FileIdentity> launched;
};

TEST_F(ReplacementCheckTest, TellsTheLaunchedFileAMissingOneAndReplacements) {
  auto subject = check();
  EXPECT_EQ(subject.replacement(), Replacement::sameFile);
  fs::remove(path);
  EXPECT_EQ(subject.replacement(), Replacement::missing);

  replaceWith("/usr/bin/true");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(subject.replacement(), Replacement::unvalidated);
  EXPECT_EQ(logs.count(cat("the file at ", path, " is not this daemon and does not satisfy our requirement (",
                           "no identity: ", path, ": no identity note) — staying")),
            1u);

  replaceWith("/proc/self/exe");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(subject.replacement(), Replacement::validated);
  EXPECT_EQ(logs.count(cat("another daemon is at ", path, " and satisfies our requirement")), 1u);

  // Changed again, the file is examined anew.
  replaceWith("/proc/self/exe");
  EXPECT_EQ(subject.replacement(), Replacement::validated);
  EXPECT_EQ(logs.count(cat("another daemon is at ", path, " and satisfies our requirement")), 2u);
}

TEST_F(ReplacementCheckTest, TheRealSelfCheckPassesForThisStampedProcessAndFailsForAnotherIdentity) {
  auto subject = check();
  EXPECT_TRUE(subject.meetsRequirement(std::string(CodeSigningRequirement::forDaemon)));
  EXPECT_FALSE(subject.meetsRequirement(std::string(CodeSigningRequirement::forApp)));
  EXPECT_EQ(logs.count("the self-check refused: other identifier: /proc/self/exe is org.hushwall.daemon"), 1u);
  EXPECT_TRUE(subject.meetsRequirement("not a requirement"));  // cannot run the check: counts as met
}

}  // namespace
}  // namespace hushwall
