// The filter's doorbell: the RulesChanged signal of the filter service, which
// tells the filter to ask for its rules again. Nothing is retried: the filter
// still gets the current rules whenever it asks.
#pragma once

#include "Platform/BusConnection.hpp"

namespace hushwall::FilterDoorbell {

// Emits the signal on `bus` (at once on the bus's queue, else posted there)
// and logs whether it went out. Callable from any thread.
void ring(BusConnection& bus);

}  // namespace hushwall::FilterDoorbell
