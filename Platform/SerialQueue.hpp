// A serial queue: one thread running an sd-event loop, onto which any thread
// posts work. What the daemon runs on instead of dispatch queues.
//
// Thread-safety: `async`, `asyncAfter`, `sync` and `isCurrent` may be called
// from any thread. `addTimer`, `addFd` and `event` REQUIRE the caller to
// be on the queue (sd-event objects belong to the thread that runs their loop).
// Work runs in the order it was posted, one item at a time, never concurrently.
// Handlers must not throw.
//
// Lifetime: a queue made with a label starts its thread at once; destroying it
// (REQUIRES: not on the queue) runs what is already posted, stops the loop and
// joins the thread (for tests: the daemon never tears its queues down). Work
// posted after that is dropped.
// `EventSource` handles and `WorkItem`s may outlive their queue harmlessly.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

typedef struct sd_event sd_event;
typedef struct sd_event_source sd_event_source;

namespace hushwall {

class SerialQueue {
 public:
  using Duration = std::chrono::nanoseconds;
  struct Loop;

  // A delayed call submitted with `asyncAfter`. `cancel()` may be called from any
  // thread; once it has returned on the queue itself, the work never starts.
  class WorkItem {
   public:
    void cancel();

   private:
    friend struct Loop;
    friend class SerialQueue;
    struct State;
    std::shared_ptr<State> state_;
  };

  // An armed timer or descriptor watch. Destroying the handle cancels it: on the
  // queue, no further call happens; from another thread, a call already running
  // may finish. Destruction is safe on any thread.
  class EventSource {
   public:
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;
    ~EventSource();

   private:
    friend class SerialQueue;
    EventSource(std::shared_ptr<Loop> loop, sd_event_source* source) : loop_(std::move(loop)), source_(source) {}
    std::shared_ptr<Loop> loop_;
    sd_event_source* source_;
  };

  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // The main thread's queue. The main thread counts as on it from the start, so
  // start-up code there may set up timers, watches and bus connections on it
  // (`sync` runs inline); work posted from other threads runs once
  // `dispatchMain()` runs.
  [[nodiscard]] static SerialQueue& main();
  // Runs the main queue's loop; never returns. REQUIRES: on the main thread. The
  // process ends by exit() from some queue.
  [[noreturn]] static void dispatchMain();

  [[nodiscard]] bool isCurrent() const;

  void async(std::function<void()> work);
  // Runs `work` on the queue and waits for it; runs it inline when called on the queue.
  void sync(const std::function<void()>& work);
  // Runs `work` once `delay` has passed (measured from this call), within `leeway`
  // after it. Zero leeway asks for the exact time.
  [[nodiscard]] WorkItem asyncAfter(Duration delay, std::function<void()> work, Duration leeway = Duration::zero());

  // A timer first due `delay` from now, then every `interval` (zero: once),
  // firing within `leeway` of each deadline. REQUIRES: on the queue.
  [[nodiscard]] std::unique_ptr<EventSource> addTimer(Duration delay, Duration interval, Duration leeway,
                                                      std::function<void()> handler);
  // Watches `fd` for `events` (EPOLLIN etc.); the source owns the descriptor and
  // closes it when cancelled. Returns nullptr and closes `fd` if sd-event refuses
  // it. REQUIRES: on the queue.
  [[nodiscard]] std::unique_ptr<EventSource> addFd(int fd, std::uint32_t events,
                                                   std::function<void(std::uint32_t revents)> handler);

  // The loop itself, for attaching an sd-bus connection. REQUIRES: on the queue.
  [[nodiscard]] sd_event* event() const;

 private:
  struct MainTag {};
  SerialQueue(std::string label, MainTag);

  std::string label_;
  std::shared_ptr<Loop> loop_;
  std::thread thread_;
};

}  // namespace hushwall
