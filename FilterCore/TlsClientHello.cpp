#include "FilterCore/TlsClientHello.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "FilterCore/ByteReader.hpp"

namespace hushwall::filter {

namespace {

constexpr std::uint8_t handshakeRecord = 22;
constexpr std::uint8_t clientHelloType = 1;
constexpr std::uint16_t serverNameExtension = 0;
constexpr std::uint8_t hostNameType = 0;
// A record's plaintext is at most 2^14 bytes; anything longer is not TLS.
constexpr std::size_t maxRecordLength = 16384;

NameScan invalid() { return {NameScan::Status::invalid, std::nullopt}; }
NameScan needMore() { return {NameScan::Status::needMore, std::nullopt}; }

// The server_name extension's body: a list of (type, name); the first host name wins.
std::optional<std::optional<std::string>> readServerName(ByteReader r) {
  ByteReader list = r.sub(r.u16());
  while (list.ok() && list.remaining() > 0) {
    std::uint8_t type = list.u8();
    auto name = list.take(list.u16());
    if (!list.ok()) break;
    if (type == hostNameType && !name.empty()) return std::string(name.begin(), name.end());
  }
  if (!r.ok() || !list.ok()) return std::nullopt;
  return std::optional<std::string>{};
}

NameScan readClientHello(ByteReader body) {
  std::uint16_t version = body.u16();
  body.skip(32);  // random
  std::uint8_t sessionIdLength = body.u8();
  body.skip(sessionIdLength);
  std::uint16_t suitesLength = body.u16();
  body.skip(suitesLength);
  std::uint8_t compressionLength = body.u8();
  body.skip(compressionLength);
  if (!body.ok() || version >> 8 != 3 || sessionIdLength > 32 || suitesLength < 2 || suitesLength % 2 != 0 ||
      compressionLength < 1) {
    return invalid();
  }
  if (body.remaining() == 0) return {NameScan::Status::complete, std::nullopt};
  ByteReader extensions = body.sub(body.u16());
  if (!body.ok()) return invalid();
  std::optional<std::string> name;
  while (extensions.remaining() > 0) {
    std::uint16_t type = extensions.u16();
    ByteReader data = extensions.sub(extensions.u16());
    if (!extensions.ok()) return invalid();
    if (type == serverNameExtension && !name) {
      auto found = readServerName(data);
      if (!found) return invalid();
      name = std::move(*found);
    }
  }
  return {NameScan::Status::complete, std::move(name)};
}

}  // namespace

NameScan scanHandshake(std::span<const std::uint8_t> handshake) {
  ByteReader r(handshake);
  std::uint8_t type = r.u8();
  std::uint32_t length = r.u24();
  if (!r.ok()) return handshake.empty() || type == clientHelloType ? needMore() : invalid();
  if (type != clientHelloType) return invalid();
  if (r.remaining() < length) return needMore();
  return readClientHello(r.sub(length));
}

NameScan scanTlsRecords(std::span<const std::uint8_t> stream) {
  // Nearly every ClientHello fits one record, which is read in place; one that
  // spans records is gathered into `joined`.
  std::vector<std::uint8_t> joined;
  ByteReader r(stream);
  bool first = true;
  while (true) {
    std::uint8_t type = r.u8();
    std::uint16_t version = r.u16();
    std::uint16_t length = r.u16();
    if (!r.ok()) {
      // Check what there is of the first header, so that other protocols fail fast.
      if (first && !stream.empty() && (stream[0] != handshakeRecord || (stream.size() > 1 && stream[1] != 3))) {
        return invalid();
      }
      return needMore();
    }
    if (type != handshakeRecord || version >> 8 != 3 || length == 0 || length > maxRecordLength) return invalid();
    auto fragment = r.rest().first(std::min<std::size_t>(length, r.remaining()));
    r.skip(fragment.size());
    std::span<const std::uint8_t> handshake = fragment;
    if (!first || fragment.size() < length) {
      joined.insert(joined.end(), fragment.begin(), fragment.end());
      handshake = joined;
    }
    NameScan scan = scanHandshake(handshake);
    if (scan.status != NameScan::Status::needMore || fragment.size() < length) return scan;
    if (first) joined.assign(fragment.begin(), fragment.end());
    first = false;
  }
}

}  // namespace hushwall::filter
