// A D-Bus caller for the platform tests, stamped at build time. It calls the
// method Nothing of /org/hushwall/test, interface org.hushwall.Test, at DESTINATION:
//   caller DESTINATION exec PROGRAM   call, wait for a line on standard input, then run PROGRAM on the
//                                     same connection
//   caller DESTINATION fork PROGRAM   call, then exit, leaving a child that runs PROGRAM on the
//                                     connection once it is gone
//   caller DESTINATION raw FD         send a hand-written call on the connection at FD, set up by another
//                                     program, then wait for the end of standard input
// Talks to the bus named by DBUS_SYSTEM_BUS_ADDRESS.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>

namespace {

const char *const path = "/org/hushwall/test", *const interface = "org.hushwall.Test", *const member = "Nothing";

// A method call without arguments, marshalled little-endian by hand: the
// connection was authenticated by another program, so sd-bus cannot take it over.
std::string methodCall(const char* destination) {
  std::string fields;
  const std::tuple<char, char, const char*> entries[] = {
      {1, 'o', path}, {2, 's', interface}, {3, 's', member}, {6, 's', destination}};
  for (auto [code, type, value] : entries) {
    fields.resize((fields.size() + 7) / 8 * 8);
    auto length = static_cast<std::uint32_t>(std::strlen(value));
    fields += {code, 1, type, 0};
    fields.append(reinterpret_cast<const char*>(&length), 4).append(value, length + 1);
  }
  std::uint32_t header[3] = {0, 0x7fff0000u, static_cast<std::uint32_t>(fields.size())};  // body length, serial, fields
  std::string message = std::string{'l', 1, 0, 1}.append(reinterpret_cast<const char*>(header), sizeof header) + fields;
  message.resize((message.size() + 7) / 8 * 8);
  return message;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  std::string_view mode = argv[2];
  char byte = 0;
  if (mode == "raw") {
    std::string message = methodCall(argv[1]);
    if (write(std::atoi(argv[3]), message.data(), message.size()) != static_cast<ssize_t>(message.size())) return 3;
    while (read(STDIN_FILENO, &byte, 1) > 0) continue;
    return 0;
  }
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return 3;
  (void)sd_bus_call_method(bus, argv[1], path, interface, member, nullptr, nullptr, "");
  int fd = sd_bus_get_fd(bus);
  std::string fdText = std::to_string(fd);
  char* next[] = {argv[3], argv[1], const_cast<char*>("raw"), fdText.data(), nullptr};
  if (fd < 0 || fcntl(fd, F_SETFD, 0) < 0) return 3;
  if (mode == "exec" && read(STDIN_FILENO, &byte, 1) != 1) return 3;
  pid_t parent = getpid();
  if (mode == "fork" && fork() != 0) _exit(0);
  while (mode == "fork" && getppid() == parent) usleep(1000);
  execv(argv[3], next);
  return 127;
}
