// The filter's system layers against a real kernel, each test in a network
// namespace of its own holding only loopback: the table, the queue, the verdict
// marks, the reaping and marking of open connections, and held Initials. A
// stopped filter, whose queued packets pass at the verdict deadline, is checked
// in the net bed and under systemd (tests/system).
// Needs root; skipped without it.
#include "FilterService/Enforcer.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "FilterCore/FilterFixtures.hpp"
#include "FilterService/LoopbackNamespace.hpp"
#include "support/Subprocess.hpp"

namespace hushwall::filter {
namespace {

// What the nft program prints for `command`, errors included.
std::string nft(const char* command) {
  auto ran = hushwall::testing::Subprocess::run({"nft", command});
  return ran.out + ran.err;
}

struct Fd {
  int fd;
  Fd(int value) : fd(value) {}  // what socket() or accept() returned
  Fd(Fd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  ~Fd() { (void)(fd >= 0 && close(fd)); }
};

// A socket of `type` bound to 127.0.0.1:`port` (0: any), connected to `to`, or if that is 0 a listening TCP one.
Fd bound(int type, std::uint16_t port, std::uint16_t to = 0) {
  Fd socket = ::socket(AF_INET, type, 0);
  int one = 1;
  timeval timeout = type == SOCK_DGRAM ? timeval{0, 800000} : timeval{3, 0};
  setsockopt(socket.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in local = loopback(port), remote = loopback(to);
  EXPECT_EQ(bind(socket.fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  EXPECT_EQ(to != 0 ? connect(socket.fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote)
                    : (type == SOCK_STREAM ? listen(socket.fd, 16) : 0),
            0);
  return socket;
}

// The errno a read from `socket` ends with: 0 when bytes came, -1 at its end.
int readError(const Fd& socket) {
  char buffer[512];
  ssize_t got = recv(socket.fd, buffer, sizeof buffer, 0);
  return got > 0 ? 0 : (got == 0 ? -1 : errno);
}

// Both ends of a connection, left open, and how the client's read of the answer to its request ended.
struct Exchange {
  Fd client, server;
  int error = 0;
};

// Connects from port `from` (0: any) to the listener on `port`, sends an HTTP request for `host` and has the server
// answer it.
Exchange exchange(const Fd& listener, std::uint16_t port, std::string_view host, std::uint16_t from = 0) {
  Exchange ends{bound(SOCK_STREAM, from, port), accept(listener.fd, nullptr, nullptr)};
  timeval timeout{0, 300000};
  setsockopt(ends.server.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string bytes = "GET / HTTP/1.1\r\nHost: " + std::string(host) + "\r\n\r\n";
  (void)send(ends.client.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (readError(ends.server) == 0) (void)!write(ends.server.fd, "ok", 2);
  ends.error = readError(ends.client);
  return ends;
}

class EnforcerTest : public ::testing::Test {
  void SetUp() override {
    static const bool isolated = enterLoopbackNamespace();
    if (!isolated) GTEST_SKIP() << "needs root to make a network namespace";
  }
};

// A stale table of our name that nobody holds is removed at start; ours exists only while blocking, cannot be taken
// over by a second filter and leaves with the process's socket. Meanwhile blocked names are reset at their first
// request and others pass; a new connection on an earlier one's ports (the server closed first, so the client may
// reuse its port at once) is judged afresh.
TEST_F(EnforcerTest, BlocksWithATableThatExistsOnlyWhileBlockingAndLeavesWithTheProcessSocket) {
  ASSERT_EQ(nft("add table inet hushwall"), "");
  auto enforcer = Enforcer::start({});
  ASSERT_TRUE(enforcer) << enforcer.error();
  EXPECT_EQ(nft("list tables"), "");
  auto applied = (*enforcer)->apply({"blocked.example"});
  EXPECT_EQ(applied.outcome, FilterReport::Outcome::applied) << applied.detail.value_or("");
  EXPECT_TRUE(nft("list tables").contains("table inet hushwall\n")) << nft("list tables");
  Fd server = bound(SOCK_STREAM, 8080);
  // clang-format off
  const struct { std::string_view host; std::uint16_t from; int error; } rows[] = {
      {"blocked.example", 0, ECONNRESET}, {"WWW.Blocked.Example.", 0, ECONNRESET}, {"a.b.blocked.example", 0, ECONNRESET},
      {"unblocked.example", 0, 0}, {"example", 0, 0}, {"allowed.example", 40000, 0}, {"blocked.example", 40000, ECONNRESET},
  };
  // clang-format on
  for (const auto& row : rows) EXPECT_EQ(exchange(server, 8080, row.host, row.from).error, row.error) << row.host;
  auto second = Enforcer::start({.queueNumber = 8});
  EXPECT_TRUE(!second && second.error().contains("held by another process"));
  applied = (*enforcer)->apply({});
  EXPECT_TRUE(applied.outcome == FilterReport::Outcome::applied &&
              applied.detail.value_or("").starts_with("flows blocked 4,"))
      << applied.detail.value_or("");
  EXPECT_EQ(nft("list tables"), "");
  EXPECT_EQ((*enforcer)->apply({"blocked.example"}).outcome, FilterReport::Outcome::applied);
  enforcer->reset();
  EXPECT_EQ(nft("list tables"), "");
}

// An open connection to a name a block starts for ends at once when this filter saw its name, and at its next packet
// when an earlier filter allowed it under the generation number this one's table now has.
TEST_F(EnforcerTest, ConnectionsOpenWhenABlockStartsAreEnded) {
  Fd server = bound(SOCK_STREAM, 8081);
  auto earlier = Enforcer::start({});
  ASSERT_TRUE(earlier) << earlier.error();
  for (int times = 0; times < 2; ++times)
    ASSERT_TRUE((*earlier)->apply({"other.example"}).outcome == FilterReport::Outcome::applied);
  auto left = exchange(server, 8081, "news.example");
  earlier->reset();
  auto enforcer = Enforcer::start({});
  ASSERT_TRUE(enforcer) << enforcer.error();
  ASSERT_EQ((*enforcer)->apply({"other.example"}).outcome, FilterReport::Outcome::applied);
  auto seen = exchange(server, 8081, "news.example");
  ASSERT_EQ(std::pair(left.error, seen.error), std::pair(0, 0));
  auto applied = (*enforcer)->apply({"news.example"});
  EXPECT_TRUE(applied.detail.value_or("").contains("sockets closed 1, flows marked for reset 1"))
      << applied.detail.value_or("");
  EXPECT_EQ(readError(seen.client), ECONNABORTED);
  std::string request = "GET / HTTP/1.1\r\nHost: news.example\r\n\r\n";
  (void)send(left.client.fd, request.data(), request.size(), MSG_NOSIGNAL);
  EXPECT_EQ(readError(left.client), ECONNRESET);
}

TEST_F(EnforcerTest, AQuicClientHelloSplitAcrossInitialsLeavesWholeOrNotAtAll) {
  auto enforcer = Enforcer::start({});
  ASSERT_TRUE(enforcer) << enforcer.error();
  const testing::Bytes halves[] = {testing::fixture("quic-chromium-1.bin"), testing::fixture("quic-chromium-2.bin")};
  // Its name is video.news.example. The first half is held: it leaves with the second, or is dropped with it, or
  // leaves alone at the verdict deadline when the second never comes.
  // clang-format off
  const struct { const char* rules; std::size_t sent, arriving; } rows[] = {
      {"news.example", 2, 0}, {"other.example", 2, 2}, {"news.example", 1, 1},
  };
  // clang-format on
  for (const auto& row : rows) {
    SCOPED_TRACE(row.rules);
    ASSERT_EQ((*enforcer)->apply({row.rules}).outcome, FilterReport::Outcome::applied);
    Fd server = bound(SOCK_DGRAM, 443), client = bound(SOCK_DGRAM, 0, 443);
    for (std::size_t i = 0; i < row.sent; ++i)
      ASSERT_EQ(send(client.fd, halves[i].data(), halves[i].size(), 0), std::ssize(halves[i]));
    std::size_t arrived = 0;
    for (char buffer[2048]; recv(server.fd, buffer, sizeof buffer, 0) > 0;) ++arrived;
    EXPECT_EQ(arrived, row.arriving);
  }
}

}  // namespace
}  // namespace hushwall::filter
