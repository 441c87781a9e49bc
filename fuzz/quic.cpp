#include "FilterCore/QuicInitial.hpp"
#include "fuzz/Input.hpp"

using namespace hushwall;

// The keys come from the datagram's own header, as the flow engine derives them.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto header = filter::peekLongHeader(fuzz::bytes(data, size));
  if (!header) return 0;
  auto keys = filter::QuicInitialKeys::derive(header->version, header->destinationId);
  if (keys) (void)filter::openClientInitials(fuzz::bytes(data, size), *keys);
  return 0;
}
