// Handover timing shared with the app. Seconds.
#pragma once

namespace hushwall::HandoverTiming {

// No request for this long counts as a quiet moment to hand over.
inline constexpr double quietPeriod = 5;
inline constexpr double window = 30;

}  // namespace hushwall::HandoverTiming
