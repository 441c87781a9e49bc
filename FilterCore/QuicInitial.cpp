#include "FilterCore/QuicInitial.hpp"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <memory>
#include <string_view>

#include "FilterCore/ByteReader.hpp"

namespace hushwall::filter {

namespace {

constexpr std::array<std::uint8_t, 20> v1Salt = {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17,
                                                 0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a};
constexpr std::array<std::uint8_t, 20> v2Salt = {0x0d, 0xed, 0xe3, 0xde, 0xf7, 0x00, 0xa6, 0xdb, 0x81, 0x93,
                                                 0x81, 0xbe, 0x6e, 0x26, 0x9d, 0xcb, 0xf9, 0xbd, 0x2e, 0xd9};
constexpr std::size_t maxConnectionIdLength = 20;
constexpr std::size_t tagLength = 16;
constexpr std::size_t sampleLength = 16;

struct Deleter {
  void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
  void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
  void operator()(EVP_CIPHER* p) const { EVP_CIPHER_free(p); }
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Deleter>;

// Fetched once: an implicit fetch on every packet would cost more than the decryption.
struct Algorithms {
  Owned<EVP_KDF> hkdf{EVP_KDF_fetch(nullptr, "HKDF", nullptr)};
  Owned<EVP_CIPHER> ecb{EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr)};
  Owned<EVP_CIPHER> gcm{EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr)};
};

const Algorithms& algorithms() {
  static const Algorithms fetched;
  return fetched;
}

// One HKDF context serves every step of a derivation, so the digest is looked
// up once rather than at each step.
class Hkdf {
 public:
  Hkdf() {
    if (!algorithms().hkdf) return;
    context_.reset(EVP_KDF_CTX_new(algorithms().hkdf.get()));
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    if (context_ && EVP_KDF_CTX_set_params(context_.get(), params) != 1) context_.reset();
  }

  bool extract(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> key, std::span<std::uint8_t> out) {
    return run(EVP_KDF_HKDF_MODE_EXTRACT_ONLY, OSSL_KDF_PARAM_SALT, key, salt, out);
  }

  // TLS 1.3's HKDF-Expand-Label with an empty context.
  bool expandLabel(std::span<const std::uint8_t> secret, std::string_view label, std::span<std::uint8_t> out) {
    constexpr std::string_view prefix = "tls13 ";
    std::vector<std::uint8_t> info = {0, static_cast<std::uint8_t>(out.size()),
                                      static_cast<std::uint8_t>(prefix.size() + label.size())};
    info.insert(info.end(), prefix.begin(), prefix.end());
    info.insert(info.end(), label.begin(), label.end());
    info.push_back(0);
    return run(EVP_KDF_HKDF_MODE_EXPAND_ONLY, OSSL_KDF_PARAM_INFO, secret, info, out);
  }

 private:
  bool run(int mode, const char* extraName, std::span<const std::uint8_t> key, std::span<const std::uint8_t> extra,
           std::span<std::uint8_t> out) {
    if (!context_) return false;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(key.data()), key.size()),
        OSSL_PARAM_construct_octet_string(extraName, const_cast<std::uint8_t*>(extra.data()), extra.size()),
        OSSL_PARAM_construct_end(),
    };
    return EVP_KDF_derive(context_.get(), out.data(), out.size(), params) == 1;
  }

  Owned<EVP_KDF_CTX> context_;
};

bool headerMask(const QuicInitialKeys& keys, std::span<const std::uint8_t> sample, std::array<std::uint8_t, 16>& mask) {
  Owned<EVP_CIPHER_CTX> context(EVP_CIPHER_CTX_new());
  int written = 0;
  return context && algorithms().ecb &&
         EVP_EncryptInit_ex2(context.get(), algorithms().ecb.get(), keys.headerKey.data(), nullptr, nullptr) == 1 &&
         EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
         EVP_EncryptUpdate(context.get(), mask.data(), &written, sample.data(), static_cast<int>(sample.size())) == 1 &&
         written == 16;
}

// Opens in place; false when the tag does not verify.
bool openPayload(const QuicInitialKeys& keys, std::uint64_t packetNumber, std::span<const std::uint8_t> header,
                 std::span<std::uint8_t> sealed, QuicError& error) {
  std::array<std::uint8_t, 12> nonce = keys.iv;
  for (std::size_t i = 0; i < 8; ++i) nonce[nonce.size() - 1 - i] ^= static_cast<std::uint8_t>(packetNumber >> (8 * i));
  auto ciphertext = sealed.first(sealed.size() - tagLength);
  auto tag = sealed.last(tagLength);
  Owned<EVP_CIPHER_CTX> context(EVP_CIPHER_CTX_new());
  int written = 0;
  error = QuicError::cryptoLibrary;
  if (!context || !algorithms().gcm ||
      EVP_DecryptInit_ex2(context.get(), algorithms().gcm.get(), keys.key.data(), nonce.data(), nullptr) != 1 ||
      EVP_DecryptUpdate(context.get(), nullptr, &written, header.data(), static_cast<int>(header.size())) != 1 ||
      EVP_DecryptUpdate(context.get(), ciphertext.data(), &written, ciphertext.data(),
                        static_cast<int>(ciphertext.size())) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagLength),
                          const_cast<std::uint8_t*>(tag.data())) != 1) {
    return false;
  }
  error = QuicError::decryptFailed;
  return EVP_DecryptFinal_ex(context.get(), ciphertext.data() + written, &written) == 1;
}

bool isInitialType(std::uint32_t version, std::uint8_t firstByte) {
  std::uint8_t type = (firstByte >> 4) & 0x03;
  return version == QuicVersion::v2 ? type == 0x01 : type == 0x00;
}

// Frames an Initial may carry: PADDING, PING, ACK, CRYPTO, CONNECTION_CLOSE.
bool readFrames(std::span<const std::uint8_t> payload, std::vector<CryptoFragment>& out) {
  ByteReader r(payload);
  while (r.ok() && r.remaining() > 0) {
    std::uint64_t type = r.varint();
    switch (type) {
      case 0x00:
      case 0x01:
        break;
      case 0x02:
      case 0x03: {
        r.varint();  // largest acknowledged
        r.varint();  // delay
        std::uint64_t ranges = r.varint();
        r.varint();  // first range
        for (std::uint64_t i = 0; r.ok() && i < ranges; ++i) {
          r.varint();
          r.varint();
        }
        if (type == 0x03) {
          r.varint();
          r.varint();
          r.varint();
        }
        break;
      }
      case 0x06: {
        std::uint64_t offset = r.varint();
        auto data = r.take(r.varint());
        if (r.ok()) out.push_back(CryptoFragment{offset, std::vector<std::uint8_t>(data.begin(), data.end())});
        break;
      }
      case 0x1c: {
        r.varint();
        r.varint();
        r.skip(r.varint());
        break;
      }
      default:
        return false;
    }
  }
  return r.ok();
}

}  // namespace

std::expected<QuicLongHeader, QuicError> peekLongHeader(std::span<const std::uint8_t> datagram) {
  ByteReader r(datagram);
  std::uint8_t first = r.u8();
  std::uint32_t version = r.u32();
  std::uint8_t idLength = r.u8();
  if (!r.ok())
    return std::unexpected(datagram.empty() || (datagram[0] & 0x80) == 0 ? QuicError::notLongHeader
                                                                         : QuicError::truncated);
  if ((first & 0x80) == 0) return std::unexpected(QuicError::notLongHeader);
  if (version != QuicVersion::v1 && version != QuicVersion::v2) return std::unexpected(QuicError::unknownVersion);
  if (idLength > maxConnectionIdLength) return std::unexpected(QuicError::badHeader);
  auto id = r.take(idLength);
  if (!r.ok()) return std::unexpected(QuicError::truncated);
  return QuicLongHeader{version, isInitialType(version, first), id};
}

std::expected<QuicInitialKeys, QuicError> QuicInitialKeys::derive(std::uint32_t version,
                                                                  std::span<const std::uint8_t> destinationId) {
  if (version != QuicVersion::v1 && version != QuicVersion::v2) return std::unexpected(QuicError::unknownVersion);
  const bool two = version == QuicVersion::v2;
  std::array<std::uint8_t, 32> initialSecret{};
  std::array<std::uint8_t, 32> clientSecret{};
  QuicInitialKeys keys;
  keys.version = version;
  Hkdf hkdf;
  bool derived = hkdf.extract(two ? v2Salt : v1Salt, destinationId, initialSecret) &&
                 hkdf.expandLabel(initialSecret, "client in", clientSecret) &&
                 hkdf.expandLabel(clientSecret, two ? "quicv2 key" : "quic key", keys.key) &&
                 hkdf.expandLabel(clientSecret, two ? "quicv2 iv" : "quic iv", keys.iv) &&
                 hkdf.expandLabel(clientSecret, two ? "quicv2 hp" : "quic hp", keys.headerKey);
  if (!derived) return std::unexpected(QuicError::cryptoLibrary);
  return keys;
}

std::expected<std::vector<CryptoFragment>, QuicError> openClientInitials(std::span<const std::uint8_t> datagram,
                                                                         const QuicInitialKeys& keys) {
  if (datagram.empty()) return std::unexpected(QuicError::notLongHeader);
  std::vector<CryptoFragment> fragments;
  std::vector<std::uint8_t> packet;  // one packet's bytes, unprotected in place
  bool first = true;
  while (!datagram.empty()) {
    auto header = peekLongHeader(datagram);
    if (!header) {
      if (!first && header.error() == QuicError::notLongHeader) break;
      return std::unexpected(header.error());
    }
    if (first && (!header->isInitial || header->version != keys.version)) {
      return std::unexpected(header->isInitial ? QuicError::unknownVersion : QuicError::notInitial);
    }
    ByteReader r(datagram);
    r.skip(6 + header->destinationId.size());
    r.skip(r.u8());                             // source connection ID
    if (header->isInitial) r.skip(r.varint());  // token
    std::uint64_t length = r.varint();
    if (!r.ok()) return std::unexpected(QuicError::truncated);
    const std::size_t numberOffset = r.position();
    if (length > r.remaining()) return std::unexpected(QuicError::truncated);
    const std::size_t packetLength = numberOffset + static_cast<std::size_t>(length);
    if (!header->isInitial || header->version != keys.version) {
      datagram = datagram.subspan(packetLength);
      first = false;
      continue;
    }
    // The sample starts 4 bytes after the packet number, whatever its length.
    if (length < 4 + sampleLength) return std::unexpected(QuicError::truncated);
    packet.assign(datagram.begin(), datagram.begin() + static_cast<std::ptrdiff_t>(packetLength));
    std::array<std::uint8_t, 16> mask{};
    if (!headerMask(keys, std::span(packet).subspan(numberOffset + 4, sampleLength), mask)) {
      return std::unexpected(QuicError::cryptoLibrary);
    }
    packet[0] ^= mask[0] & 0x0F;
    const std::size_t numberLength = (packet[0] & 0x03u) + 1;
    std::uint64_t packetNumber = 0;
    for (std::size_t i = 0; i < numberLength; ++i) {
      packet[numberOffset + i] ^= mask[1 + i];
      packetNumber = packetNumber << 8 | packet[numberOffset + i];
    }
    const std::size_t payloadOffset = numberOffset + numberLength;
    if (packetLength < payloadOffset + tagLength) return std::unexpected(QuicError::truncated);
    auto sealed = std::span(packet).subspan(payloadOffset);
    QuicError error{};
    if (!openPayload(keys, packetNumber, std::span(packet).first(payloadOffset), sealed, error)) {
      return std::unexpected(error);
    }
    if (!readFrames(sealed.first(sealed.size() - tagLength), fragments)) return std::unexpected(QuicError::badFrames);
    datagram = datagram.subspan(packetLength);
    first = false;
  }
  return fragments;
}

}  // namespace hushwall::filter
