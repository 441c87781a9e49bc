// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when
// the object goes. Small file helpers for tests that work on real files.
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
  // `path()` + "/" + `name`.
  [[nodiscard]] std::string file(const std::string& name) const;
  // The names in the directory (not recursive), sorted.
  [[nodiscard]] std::vector<std::string> names() const;

 private:
  std::string path_;
};

// The names in a directory (not recursive), sorted; "." and ".." left out.
[[nodiscard]] std::vector<std::string> directoryNames(const std::string& path);

// Whole-file helpers that fail the calling test (ADD_FAILURE) on an error.
void writeFile(const std::string& path, const std::string& bytes, unsigned mode = 0644);
[[nodiscard]] std::string readFile(const std::string& path);
// Permission bits (st_mode & 07777), or -1 when the path cannot be stat'ed.
[[nodiscard]] int fileMode(const std::string& path);

}  // namespace hushwall::testing
