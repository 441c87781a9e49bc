// A fresh directory under /tmp, removed with everything in it at the end of
// the test, and whole-file helpers that fail the calling test on an error.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace hushwall::testing {

class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    if (::mkdtemp(path_.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }
  // The names in the directory, sorted.
  [[nodiscard]] std::vector<std::string> names() const { return directoryNames(path_); }

  [[nodiscard]] static std::vector<std::string> directoryNames(const std::string& path) {
    std::vector<std::string> out;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
      out.push_back(entry.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::string path_ = "/tmp/hushwall-test-XXXXXX";
};

inline void writeFile(const std::string& path, const std::string& bytes, unsigned mode = 0644) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out || ::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) ADD_FAILURE() << "could not write " << path;
}

[[nodiscard]] inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) ADD_FAILURE() << "could not read " << path;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Permission bits (st_mode & 07777), or -1 when the path cannot be stat'ed.
[[nodiscard]] inline int fileMode(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

}  // namespace hushwall::testing
