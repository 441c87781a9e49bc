// The live clocks on Linux. Stateless; every reading asks the kernel.
//   wallClock   CLOCK_REALTIME
//   bootTime    wall clock minus CLOCK_BOOTTIME (distant past if unreadable)
//   bootID      /proc/sys/kernel/random/boot_id without its newline ("" if unreadable)
//   continuous  CLOCK_BOOTTIME: counts through suspend, never set
#pragma once

#include "HushwallCore/SessionState.hpp"

namespace hushwall {

class SystemTimeSource final : public TimeSource {
 public:
  [[nodiscard]] Date wallClock() const override;
  [[nodiscard]] Date bootTime() const override;
  [[nodiscard]] std::string bootID() const override;
  [[nodiscard]] double continuous() const override;
};

}  // namespace hushwall
