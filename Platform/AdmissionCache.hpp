// Admission decisions remembered per unique bus name. A unique name belongs to
// one connection for its whole life and is never given out again, so an
// admitted name stays admitted as long as the process behind it is the one
// that was examined, running the file that was examined. That is what a
// ProcessStamp captures; a caller is admitted from the cache only while its
// stamp reads the same. Refusals are never remembered.
//
// Bounded: past `capacity` entries the least recently used one is dropped, so
// a flood of clients costs a full admission each, never unbounded memory.
//
// Thread-safety: none; the bus connection's queue owns each cache.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "Platform/PeerAdmission.hpp"
#include "Platform/ProcessStamp.hpp"

namespace hushwall {

class AdmissionCache {
 public:
  static constexpr std::size_t defaultCapacity = 1024;

  struct Entry {
    BusCaller caller;
    ProcessStamp stamp;
  };

  explicit AdmissionCache(std::size_t capacity = defaultCapacity) : capacity_(capacity == 0 ? 1 : capacity) {}

  // The entry for `uniqueName`, now the most recently used; null when absent.
  [[nodiscard]] const Entry* find(std::string_view uniqueName);
  // Remembers an admission, replacing any entry of the same name.
  void insert(Entry entry);
  void erase(std::string_view uniqueName);
  [[nodiscard]] std::size_t size() const { return index_.size(); }

 private:
  using Order = std::list<Entry>;  // most recently used first

  std::size_t capacity_;
  Order order_;
  std::unordered_map<std::string_view, Order::iterator> index_;  // keys view the entries' own names
};

}  // namespace hushwall
