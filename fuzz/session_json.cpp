#include "HushwallCore/SessionState.hpp"
#include "fuzz/Input.hpp"

// Whatever decodes must come back unchanged from what the daemon would write.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto state = hushwall::SessionState::decode(hushwall::fuzz::text(data, size));
  if (!state) return 0;
  auto again = hushwall::SessionState::decode(state->encoded());
  hushwall::fuzz::require(again && *again == *state, "a decoded session survives its own encoding");
  return 0;
}
