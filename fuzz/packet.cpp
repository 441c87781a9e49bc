#include "FilterCore/Packet.hpp"
#include "fuzz/Input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)hushwall::filter::parsePacket(hushwall::fuzz::bytes(data, size));
  return 0;
}
