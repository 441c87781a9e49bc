// A program run as a child process, the one way tests start programs: its
// standard input fed from the test, its standard output and error read back
// from memory files or appended to a log file. The destructor kills and reaps a
// child that is still running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hushwall::testing {

class Subprocess {
 public:
  // `argv[0]` is looked up in PATH when it holds no slash. With `logFile`, both
  // output streams are appended to it instead of being read back.
  explicit Subprocess(const std::vector<std::string>& argv, std::optional<std::string> logFile = std::nullopt);
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  void write(std::string_view bytes);
  void closeInput();
  // The next line of standard output, without its line feed; none on timeout.
  [[nodiscard]] std::optional<std::string> nextLine(std::chrono::milliseconds timeout);
  // Waits for the program to end and reads its outputs; its exit status (128 +
  // signal when one ended it), or -1 when it had to be killed after `timeout`.
  int finish(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // The exit status once the program has ended by itself; none on timeout.
  [[nodiscard]] std::optional<int> waitForExit(std::chrono::milliseconds timeout);
  // Sends `number` and reaps the process.
  void kill(int number);

  // The standard output and error read so far (each read continues where the last ended): callers only read them.
  std::string out, err;

  struct Ran {
    int status = 0;
    std::string out, err;
  };
  // Runs a program to its end with `input` on its standard input.
  [[nodiscard]] static Ran run(const std::vector<std::string>& argv, std::string_view input = {});

 private:
  bool reap(int options);

  pid_t pid_ = -1;
  int status_ = 0;
  int stdin_ = -1, stdout_ = -1, stderr_ = -1;
  std::size_t consumed_ = 0;
};

}  // namespace hushwall::testing
