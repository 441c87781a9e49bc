// The guarded final step of a handover to a replaced executable: decide, then
// decide again under the coordinator's lock and retire there, so that no
// start, tick or repair can slip in between the last check and the exit.
#pragma once

#include <functional>

#include "DaemonCore/ExitPolicy.hpp"

namespace hushwall {

struct Handover {
  std::function<HandoverPolicy::Replacement()> replacement;
  std::function<bool()> stillServable;
  std::function<bool()> isStuck;
  std::function<double()> sinceLastRequest;
  // The coordinator's guarded call: runs the body under its lock when nothing
  // is stuck or being torn down, and says whether it ran.
  std::function<bool(const std::function<void(bool hasSession)>&)> whileSettled;
  // Ends the process (in production it does not return).
  std::function<void(bool hasSession, bool stillServable)> retire;

  enum class Result {
    stays,              // no validated replacement, stuck, or not yet quiet
    retired,            // `retire` ran (and returned: only with a test's `retire`)
    deferredUnsettled,  // a stuck block or a teardown is in flight
    deferredRequest,    // a request arrived since the decision
  };

  [[nodiscard]] Result attempt() const;
};

}  // namespace hushwall
