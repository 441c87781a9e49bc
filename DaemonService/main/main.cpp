// hushwalld and hushwalld-sandbox. The sandbox build trusts executables owned
// by its own user; everything else, paths aside, is the same program.
#include "DaemonService/HushwallDaemonMain.hpp"

#ifndef HUSHWALL_SANDBOX_BUILD
#error "HUSHWALL_SANDBOX_BUILD must be defined by the build"
#endif

int main() {
  hushwall::HushwallDaemonMain::run(HUSHWALL_SANDBOX_BUILD ? hushwall::CodeRequirement::Owner::processUser
                                                           : hushwall::CodeRequirement::Owner::root);
}
