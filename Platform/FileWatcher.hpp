// Watches one path for any change and calls a handler, debounced on the
// trailing edge, on a serial queue. Survives the usual ways of replacing a
// file: an atomic rename over the path, deletion and re-creation, and a path
// that does not exist yet (polled every second until it does).
//
// Thread-safety: `start` may be called from any thread; it, the inotify events,
// the poll and the handler all run on `queue`, which must outlive the watcher.
// Every handler the watcher arms holds it weakly: once the last reference is
// dropped, `onChange` is not called.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "HushwallCore/Log.hpp"
#include "Platform/SerialQueue.hpp"

namespace hushwall {

class FileWatcher : public std::enable_shared_from_this<FileWatcher> {
 public:
  static constexpr std::chrono::milliseconds pollInterval{1000};

  // Stores the values; watches nothing until `start()`. An absent path is
  // polled every `poll`, with a fifth of it as leeway.
  [[nodiscard]] static std::shared_ptr<FileWatcher> make(std::string path, SerialQueue& queue,
                                                         std::chrono::milliseconds debounce,
                                                         std::function<void()> onChange,
                                                         std::chrono::milliseconds poll = pollInterval);
  ~FileWatcher();
  FileWatcher(const FileWatcher&) = delete;
  FileWatcher& operator=(const FileWatcher&) = delete;

  // Arms the watch without calling the handler, even when the file exists.
  void start();

 private:
  FileWatcher(std::string path, SerialQueue& queue, std::chrono::milliseconds debounce, std::function<void()> onChange,
              std::chrono::milliseconds poll);

  void arm(bool notifying);
  void pollWhileAbsent();
  void scheduleHandlerCall();

  const std::string path_;
  SerialQueue& queue_;
  const std::chrono::milliseconds debounce_;
  const std::chrono::milliseconds poll_;
  const std::function<void()> onChange_;
  const Logger log_;

  // All touched only on queue_.
  std::unique_ptr<SerialQueue::EventSource> source_;  // inotify watch on the path
  SerialQueue::WorkItem pending_;                     // the debounced handler call
  std::unique_ptr<SerialQueue::EventSource> retry_;   // the poll while the path is absent
};

}  // namespace hushwall
