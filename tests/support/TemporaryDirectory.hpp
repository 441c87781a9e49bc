// A fresh directory under /tmp, removed with everything in it at the end of
// the test, and whole-file helpers that fail the calling test on an error.
#pragma once

#include <string>
#include <vector>

namespace hushwall::testing {

class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }
  // The names in the directory, sorted.
  [[nodiscard]] std::vector<std::string> names() const { return directoryNames(path_); }

  [[nodiscard]] static std::vector<std::string> directoryNames(const std::string& path);

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& bytes, unsigned mode = 0644);
[[nodiscard]] std::string readFile(const std::string& path);
// Permission bits (st_mode & 07777), or -1 when the path cannot be stat'ed.
[[nodiscard]] int fileMode(const std::string& path);

}  // namespace hushwall::testing
