#include "Tools/Client/DomainInput.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace hushwall {
namespace {

TEST(DomainInputTest, SplitsOnWhiteSpaceCommasAndLineEndsAndDropsComments) {
  const struct {
    std::string_view text;
    std::vector<std::string> words;
  } cases[] = {
      {"", {}},
      {"a.com", {"a.com"}},
      {"a.com,b.com", {"a.com", "b.com"}},
      {" a.com \t b.com\r\nc.com\n", {"a.com", "b.com", "c.com"}},
      {"# all comment\n\n  ,,, \n", {}},
      {"a.com # the first\nb.com#second\n#c.com\nd.com", {"a.com", "b.com", "d.com"}},
      {"a.com\ra.com", {"a.com", "a.com"}},
      {"xn--bcher-kva.example ünïcode.de", {"xn--bcher-kva.example", "ünïcode.de"}},
      {std::string_view("a\0b c", 5), {std::string("a\0b", 3), "c"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DomainInput::split(c.text), c.words);
  }
}

class DomainFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = std::filesystem::temp_directory_path() /
                 ("hushwall-domains-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(directory_);
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }
  std::string write(std::string_view name, std::string_view content) {
    std::string path = directory_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  std::filesystem::path directory_;
};

TEST_F(DomainFileTest, RefusesNothingMissingAndOversizedInputs) {
  std::string comments = write("comments", "# nothing here\n");
  std::string huge = write("huge", std::string(DomainInput::maxInputSize + 1, 'a'));
  std::string exact = write("exact", std::string(DomainInput::maxInputSize, 'a'));
  std::string missing = (directory_ / "missing").string();
  const struct {
    std::vector<std::string> words;
    std::vector<std::string> files;
    std::string message;
  } cases[] = {
      {{}, {}, "no domains given"},
      {{" , "}, {comments}, "no domains given"},
      {{"a.com"}, {missing}, "cannot read " + missing + ": No such file or directory"},
      {{"a.com"}, {directory_.string()}, "cannot read " + directory_.string() + ": Is a directory"},
      {{"a.com"}, {huge}, huge + " is larger than 1048576 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    auto domains = DomainInput::gather(c.words, c.files);
    ASSERT_FALSE(domains.has_value());
    EXPECT_EQ(domains.error(), Failure::usage(c.message));
  }
  auto limit = DomainInput::gather({}, {exact});
  ASSERT_TRUE(limit.has_value());
  EXPECT_EQ(limit->size(), 1u);
}

}  // namespace
}  // namespace hushwall
