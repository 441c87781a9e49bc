#include "HushwallCore/Date.hpp"

#include <chrono>

namespace hushwall {

Date Date::now() {
  using namespace std::chrono;
  auto since = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  return fromUnix(static_cast<double>(since) / 1e9);
}

}  // namespace hushwall
