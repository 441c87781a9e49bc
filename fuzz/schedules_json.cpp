#include "HushwallCore/ScheduleSet.hpp"
#include "fuzz/Input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  hushwall::fuzz::requireRoundTrip<hushwall::ScheduleSet>(hushwall::fuzz::text(data, size),
                                                          "a decoded schedule set survives its own encoding");
  return 0;
}
