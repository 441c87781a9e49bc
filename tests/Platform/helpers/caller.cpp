// A D-Bus caller for the platform tests, stamped at build time.
//   caller DESTINATION PATH INTERFACE MEMBER call          call, print the reply bytes or the error name
//   caller DESTINATION PATH INTERFACE MEMBER send-and-exit send and exit at once, before any reply
//   caller DESTINATION PATH INTERFACE MEMBER exec PROGRAM  call, print a line, wait for a line on standard
//                                                          input, then run PROGRAM on the same connection
//   caller DESTINATION PATH INTERFACE MEMBER fork PROGRAM  call, print a line, then exit, leaving a child
//                                                          that runs PROGRAM on the connection once it is gone
//   caller DESTINATION PATH INTERFACE MEMBER raw FD        call on the connection at FD, set up by another
//                                                          program, with a hand-written message
// Talks to the bus named by DBUS_SYSTEM_BUS_ADDRESS.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>

namespace {

void pad(std::string& bytes, std::size_t alignment) {
  bytes.resize((bytes.size() + alignment - 1) / alignment * alignment);
}

// A method call without arguments, marshalled little-endian by hand: the
// connection was authenticated by another program, so sd-bus cannot take it over.
std::string methodCall(char** argv) {
  std::string fields;
  const std::tuple<char, char, const char*> entries[] = {
      {1, 'o', argv[2]}, {2, 's', argv[3]}, {3, 's', argv[4]}, {6, 's', argv[1]}};
  for (auto [code, type, value] : entries) {
    pad(fields, 8);
    auto length = static_cast<std::uint32_t>(std::strlen(value));
    fields += {code, 1, type, 0};
    fields.append(reinterpret_cast<const char*>(&length), 4).append(value, length + 1);
  }
  std::uint32_t header[3] = {0, 0x7fff0000u, static_cast<std::uint32_t>(fields.size())};  // body length, serial, fields
  std::string message = std::string{'l', 1, 0, 1}.append(reinterpret_cast<const char*>(header), sizeof header) + fields;
  pad(message, 8);
  return message;
}

bool readExactly(int fd, std::string& out, std::size_t length) {
  out.resize(length);
  for (std::size_t at = 0; at < length;) {
    ssize_t got = read(fd, out.data() + at, length - at);
    if (got <= 0) return false;
    at += static_cast<std::size_t>(got);
  }
  return true;
}

// Prints what the "call" mode prints for the first reply or error on `fd`, or "failed".
int rawCall(int fd, char** argv) {
  int flags = fcntl(fd, F_GETFL);
  std::string message = methodCall(argv), fixed, rest;
  bool sent = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 &&  // sd-bus left it non-blocking
              write(fd, message.data(), message.size()) == static_cast<ssize_t>(message.size());
  while (sent && readExactly(fd, fixed, 16)) {
    std::uint32_t bodyLength = 0, fieldsLength = 0;
    std::memcpy(&bodyLength, fixed.data() + 4, 4);
    std::memcpy(&fieldsLength, fixed.data() + 12, 4);
    if (!readExactly(fd, rest, (fieldsLength + 7) / 8 * 8 + bodyLength)) break;
    if (fixed[1] == 2) return 0;  // a method return
    if (fixed[1] == 3) {          // an error: its name is the first string field
      std::size_t name = rest.find("org.");
      std::printf("%s\n", name == std::string::npos ? "?" : rest.c_str() + name);
      return 1;
    }
  }
  std::printf("failed\n");
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  std::string_view mode = argc >= 6 ? argv[5] : "";
  bool takesProgram = mode == "exec" || mode == "fork" || mode == "raw";
  if (argc != (takesProgram ? 7 : 6)) {
    std::fprintf(stderr, "usage: %s DESTINATION PATH INTERFACE MEMBER call|send-and-exit|exec P|fork P|raw FD\n",
                 argv[0]);
    return 2;
  }
  if (mode == "raw") return rawCall(std::atoi(argv[6]), argv);
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return 3;
  int status = 0;
  sd_bus_message* message = nullptr;
  if (mode == "send-and-exit") {
    if (sd_bus_message_new_method_call(bus, &message, argv[1], argv[2], argv[3], argv[4]) < 0 ||
        sd_bus_send(bus, message, nullptr) < 0) {
      status = 3;
    }
  } else {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const void* data = nullptr;
    size_t size = 0;
    if (sd_bus_call_method(bus, argv[1], argv[2], argv[3], argv[4], &error, &message, "") < 0) {
      std::printf("%s\n", error.name ? error.name : "?");
      status = 1;
    } else {
      if (sd_bus_message_read_array(message, 'y', &data, &size) >= 0 && size > 0) std::fwrite(data, 1, size, stdout);
      if (mode != "call") std::printf("\n");
    }
    sd_bus_error_free(&error);
  }
  sd_bus_message_unref(message);
  std::fflush(stdout);
  if (mode == "exec" || mode == "fork") {
    int fd = sd_bus_get_fd(bus);
    if (fd < 0 || fcntl(fd, F_SETFD, 0) < 0) return 3;
    std::string fdText = std::to_string(fd);
    char* next[] = {argv[6], argv[1], argv[2], argv[3], argv[4], const_cast<char*>("raw"), fdText.data(), nullptr};
    char line[8];
    if (mode == "exec" && std::fgets(line, sizeof line, stdin) == nullptr) return 3;
    pid_t parent = getpid();
    if (mode == "fork" && fork() != 0) _exit(status);
    while (mode == "fork" && getppid() == parent) usleep(1000);
    execv(argv[6], next);
    return 127;
  }
  sd_bus_flush_close_unref(bus);  // a sent call is on the wire before the process ends
  return status;
}
