// The result shared by the scanners that read a host name from the first bytes
// of a stream (TLS ClientHello, HTTP request).
#pragma once

#include <optional>
#include <string>

namespace hushwall::filter {

struct NameScan {
  enum class Status {
    needMore,  // a prefix of a well-formed message: scan again with more bytes
    complete,  // the message is whole; `name` holds the host it names, if any
    invalid,   // not this kind of message, or malformed
  };
  Status status = Status::invalid;
  std::optional<std::string> name;  // as sent: not normalised

  friend bool operator==(const NameScan&, const NameScan&) = default;
};

}  // namespace hushwall::filter
