#include "HushwallCore/SessionState.hpp"
#include "fuzz/Input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  hushwall::fuzz::requireRoundTrip<hushwall::SessionState>(hushwall::fuzz::text(data, size),
                                                           "a decoded session survives its own encoding");
  return 0;
}
