#include "DaemonCore/UnfairLock.hpp"

#include <cstdio>
#include <cstdlib>

namespace hushwall {

void UnfairLock::lock() {
  if (isHeldByCurrentThread()) {
    std::fputs("hushwall: UnfairLock taken again by the thread that holds it\n", stderr);
    std::abort();
  }
  mutex_.lock();
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

bool UnfairLock::try_lock() {
  if (isHeldByCurrentThread() || !mutex_.try_lock()) return false;
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  return true;
}

void UnfairLock::unlock() {
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  mutex_.unlock();
}

}  // namespace hushwall
