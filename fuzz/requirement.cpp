#include "Platform/CodeRequirement.hpp"
#include "fuzz/Input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)hushwall::CodeRequirement::parse(hushwall::fuzz::text(data, size));
  return 0;
}
