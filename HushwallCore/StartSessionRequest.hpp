// The body of the app's start call: the domains as typed and the length in seconds.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/Decoded.hpp"

namespace hushwall {

struct StartSessionRequest {
  std::vector<std::string> domains;
  double duration = 0;

  // Both keys are always written and both are required on reading.
  [[nodiscard]] std::string encoded() const;
  [[nodiscard]] static Decoded<StartSessionRequest> decode(std::string_view bytes);

  friend bool operator==(const StartSessionRequest&, const StartSessionRequest&) = default;
};

}  // namespace hushwall
