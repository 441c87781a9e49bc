#include "HushwallCore/ScheduleSet.hpp"
#include "fuzz/Input.hpp"

// Whatever decodes must come back unchanged from what the daemon would write.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto set = hushwall::ScheduleSet::decode(hushwall::fuzz::text(data, size));
  if (!set) return 0;
  auto again = hushwall::ScheduleSet::decode(set->encoded());
  hushwall::fuzz::require(again && *again == *set, "a decoded schedule set survives its own encoding");
  return 0;
}
