#include "HushwallCore/StartSessionRequest.hpp"

#include "HushwallCore/Json.hpp"

namespace hushwall {

std::string StartSessionRequest::encoded() const {
  return dumpJson(Json{{"domains", domains}, {"duration", duration}});
}

Decoded<StartSessionRequest> StartSessionRequest::decode(std::string_view bytes) {
  return decodeJson<StartSessionRequest>(bytes, [](const Json& value) {
    requireObject(value, "request");
    return StartSessionRequest{readStringArray(required(value, "domains"), "domains"),
                               readNumber(required(value, "duration"), "duration")};
  });
}

}  // namespace hushwall
