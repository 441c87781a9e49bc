// The session ticker's cadence, shared with the app so both agree on it. Seconds.
#pragma once

#include <algorithm>

namespace hushwall::TickCadence {

inline constexpr double interval = 15;

// The timer leeway allowed for a delay of `delay` seconds: a third of it, at most 5.
[[nodiscard]] constexpr double leeway(double delay) { return std::min(delay / 3, 5.0); }

}  // namespace hushwall::TickCadence
