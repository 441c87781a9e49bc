// hushwalld and hushwalld-sandbox. The sandbox build trusts executables owned
// by its own user and logs to standard error; everything else, paths aside, is
// the same program.
#include "DaemonService/HushwallDaemonMain.hpp"

#ifndef HUSHWALL_SANDBOX_BUILD
#error "HUSHWALL_SANDBOX_BUILD must be defined by the build"
#endif

int main() {
  using namespace hushwall;
  if constexpr (HUSHWALL_SANDBOX_BUILD) {
    HushwallDaemonMain::run(CodeRequirement::Owner::processUser, HushwallDaemonMain::LogTarget::standardError);
  } else {
    HushwallDaemonMain::run(CodeRequirement::Owner::root, HushwallDaemonMain::LogTarget::journal);
  }
}
