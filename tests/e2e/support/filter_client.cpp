// The filter stand-in of the end-to-end tests, stamped as the network filter:
//   hushwall_e2e_filter CurrentRules   prints the rule set's bytes
//   hushwall_e2e_filter Report         sends the bytes read from standard input
// On an error reply it prints the error's name and exits 1.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "HushwallCore/Identity.hpp"
#include "Platform/BusConnection.hpp"
#include "Platform/SerialQueue.hpp"

int main(int argc, char** argv) {
  using namespace hushwall;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CurrentRules|Report\n", argv[0]);
    return 2;
  }
  std::string member = argv[1];
  std::optional<std::string> payload;
  if (member == "Report") payload = std::string(std::istreambuf_iterator<char>(std::cin), {});
  SerialQueue queue("org.hushwall.test.filter");
  auto bus = BusConnection::openSystem(queue);
  if (!bus) {
    std::printf("%s", bus.error().name.c_str());
    return 1;
  }
  auto reply = (*bus)->call(std::string(RulesService::busName), std::string(RulesService::objectPath),
                            std::string(RulesService::interface), member,
                            payload ? std::optional<std::string_view>(*payload) : std::nullopt);
  bus->reset();
  if (!reply) {
    std::printf("%s", reply.error().name.c_str());
    return 1;
  }
  std::fwrite(reply->data(), 1, reply->size(), stdout);
  return 0;
}
