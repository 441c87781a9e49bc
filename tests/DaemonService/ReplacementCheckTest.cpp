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

// This test binary is stamped as the daemon, so a copy of it is a genuine replacement. Each file
// that takes the path's place is examined, and its verdict logged, once; the self-check counts
// only a definite refusal as not meeting the requirement.
TEST(ReplacementCheckTest, TellsTheLaunchedFileAMissingOneAndEachReplacementOnce) {
  testing::CapturingLogSink logs;
  testing::TemporaryDirectory directory;
  const std::string path = directory.file("hushwalld");
  fs::copy_file("/proc/self/exe", path);
  ReplacementCheck subject(path, std::string(CodeSigningRequirement::forDaemon), CodeRequirement::Owner::processUser,
                           ReplacementCheck::identity(path).value());
  const char* names[] = {"sameFile", "missing", "unvalidated", "validated"};
  std::string seen;
  // What takes the path's place ("" nothing, "-" nothing at all), then how often the check is asked.
  for (auto [file, times] :
       {std::pair{"", 1}, {"-", 1}, {"/usr/bin/true", 3}, {"/proc/self/exe", 2}, {"/proc/self/exe", 2}}) {
    if (file[0] != '\0') fs::remove(path);
    if (file[0] == '/') fs::copy_file(file, path);
    for (int i = 0; i < times; ++i) seen += cat(names[static_cast<int>(subject.replacement())], " ");
  }
  for (std::string_view requirement :
       {CodeSigningRequirement::forDaemon, CodeSigningRequirement::forApp, std::string_view("not a requirement")}) {
    seen += cat(subject.meetsRequirement(std::string(requirement)), " ");
  }
  EXPECT_EQ(
      seen,
      "sameFile missing unvalidated unvalidated unvalidated validated validated validated validated true false true ");
  const std::string validated = cat("another daemon is at ", path, " and satisfies our requirement");
  EXPECT_EQ(
      logs.messages("handover"),
      (std::vector<std::string>{cat("the file at ", path, " is not this daemon and does not satisfy our requirement (",
                                    "no identity: ", path, ": no identity note) — staying"),
                                validated, validated,
                                "the self-check refused: other identifier: /proc/self/exe is org.hushwall.daemon"}));
}

}  // namespace
}  // namespace hushwall
