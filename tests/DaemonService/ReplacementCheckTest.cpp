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
TEST(ReplacementCheckTest, TellsTheLaunchedFileAMissingOneAndEachReplacementOnce) {
  testing::CapturingLogSink logs;
  testing::TemporaryDirectory directory;
  const std::string path = directory.file("hushwalld");
  fs::copy_file("/proc/self/exe", path);
  ReplacementCheck subject(path, std::string(CodeSigningRequirement::forDaemon), CodeRequirement::Owner::processUser,
                           ReplacementCheck::identity(path).value());
  auto replaceWith = [&](const std::string& file) {
    fs::copy_file(file, directory.file(".next"));
    fs::rename(directory.file(".next"), path);
  };
  const std::string refused = cat("the file at ", path, " is not this daemon and does not satisfy our requirement (",
                                  "no identity: ", path, ": no identity note) — staying");
  const std::string validated = cat("another daemon is at ", path, " and satisfies our requirement");
  EXPECT_EQ(subject.replacement(), Replacement::sameFile);
  fs::remove(path);
  EXPECT_EQ(subject.replacement(), Replacement::missing);
  replaceWith("/usr/bin/true");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(subject.replacement(), Replacement::unvalidated);
  EXPECT_EQ(logs.count(refused), 1u);
  // Changed twice, the file is examined anew each time.
  for (std::size_t changes = 1; changes <= 2; ++changes) {
    replaceWith("/proc/self/exe");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(subject.replacement(), Replacement::validated);
    EXPECT_EQ(logs.count(validated), changes);
  }

  EXPECT_TRUE(subject.meetsRequirement(std::string(CodeSigningRequirement::forDaemon)));
  EXPECT_FALSE(subject.meetsRequirement(std::string(CodeSigningRequirement::forApp)));
  EXPECT_EQ(logs.count("the self-check refused: other identifier: /proc/self/exe is org.hushwall.daemon"), 1u);
  EXPECT_TRUE(subject.meetsRequirement("not a requirement"));  // cannot run the check: counts as met
}

}  // namespace
}  // namespace hushwall
