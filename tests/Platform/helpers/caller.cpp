// A D-Bus caller for the platform tests, stamped at build time.
//   caller DESTINATION PATH INTERFACE MEMBER call          call, print the reply bytes or the error name
//   caller DESTINATION PATH INTERFACE MEMBER send-and-exit send and exit at once, before any reply
// Talks to the bus named by DBUS_SYSTEM_BUS_ADDRESS.
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s DESTINATION PATH INTERFACE MEMBER call|send-and-exit\n", argv[0]);
    return 2;
  }
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return 3;
  int status = 0;
  if (std::strcmp(argv[5], "send-and-exit") == 0) {
    sd_bus_message* message = nullptr;
    if (sd_bus_message_new_method_call(bus, &message, argv[1], argv[2], argv[3], argv[4]) < 0 ||
        sd_bus_send(bus, message, nullptr) < 0) {
      status = 3;
    }
    sd_bus_message_unref(message);
  } else {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, argv[1], argv[2], argv[3], argv[4], &error, &reply, "") < 0) {
      std::printf("%s\n", error.name ? error.name : "?");
      status = 1;
    } else {
      const void* data = nullptr;
      size_t size = 0;
      if (sd_bus_message_read_array(reply, 'y', &data, &size) >= 0 && size > 0) std::fwrite(data, 1, size, stdout);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
  }
  sd_bus_flush_close_unref(bus);  // a sent call is on the wire before the process ends
  std::fflush(stdout);
  return status;
}
