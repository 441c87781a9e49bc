// The filter stand-in of the end-to-end tests, stamped as the network filter:
// sends the bytes on its standard input as a report, as they are. On an error
// reply it prints the error's name and exits 1.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "HushwallCore/Identity.hpp"
#include "Platform/BusConnection.hpp"
#include "Platform/SerialQueue.hpp"

int main() {
  using namespace hushwall;
  std::string report(std::istreambuf_iterator<char>(std::cin), {});
  SerialQueue queue("org.hushwall.test.filter");
  auto bus = BusConnection::openSystem(queue);
  auto reply = bus ? (*bus)->call(std::string(RulesService::busName), std::string(RulesService::objectPath),
                                  std::string(RulesService::interface), std::string(RulesService::report), report)
                   : std::unexpected(bus.error());
  if (!reply) std::printf("%s", reply.error().name.c_str());
  return reply ? 0 : 1;
}
