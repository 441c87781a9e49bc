#include <sys/mman.h>
#include <unistd.h>

#include "Platform/CodeRequirement.hpp"
#include "fuzz/Input.hpp"

// The reader takes a descriptor, as the admission check opens the executable.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("executable", MFD_CLOEXEC);
  hushwall::fuzz::require(fd >= 0 && ::ftruncate(fd, 0) == 0, "memfd");
  hushwall::fuzz::require(::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size), "memfd write");
  (void)hushwall::readIdentityNote(fd);
  return 0;
}
