#include "DaemonService/Handover.hpp"

namespace hushwall {

Handover::Result Handover::attempt() const {
  HandoverPolicy::Replacement found = replacement();
  bool servable = found == HandoverPolicy::Replacement::validated ? stillServable() : true;
  if (!HandoverPolicy::shouldRetire(found, isStuck(), sinceLastRequest(), servable)) return Result::stays;

  Result result = Result::deferredRequest;
  bool settled = whileSettled([&](bool hasSession) {
    // Asked again under the lock: a request may have come in since the decision.
    if (!HandoverPolicy::nothingToInterrupt(sinceLastRequest(), servable)) return;
    retire(hasSession, servable);
    result = Result::retired;
  });
  return settled ? result : Result::deferredUnsettled;
}

}  // namespace hushwall
