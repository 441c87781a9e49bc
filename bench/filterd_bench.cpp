// The filter on real loopback traffic, in a network namespace of its own (needs
// root): the time a new TCP flow takes to connect and get an HTTP answer, and
// the throughput of an established flow, each with no filter (argument 0),
// with the filter enforcing a rule set that blocks another name (argument 1),
// so the flows are judged and allowed, and with only connection tracking on
// (argument 2: a table with one conntrack rule, which a fresh namespace lacks
// and most machines have). Latency counters p50 and p99 are in microseconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nftables/libnftables.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FilterService/Enforcer.hpp"
#include "FilterService/LoopbackNamespace.hpp"

namespace {

using hushwall::filter::Enforcer;

bool isolated() {
  static const bool done = hushwall::filter::enterLoopbackNamespace();
  return done;
}

using hushwall::filter::loopback;

// A server on 127.0.0.1:`port` that runs `serve` on each accepted connection, in turn.
class Server {
 public:
  template <typename Serve>
  Server(std::uint16_t port, Serve serve) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address = loopback(port);
    (void)bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    (void)listen(fd_, 4096);
    thread_ = std::thread([this, serve] {
      for (;;) {
        int connection = accept(fd_, nullptr, nullptr);
        if (connection < 0) return;
        serve(connection);
        close(connection);
      }
    });
  }
  ~Server() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }

 private:
  int fd_;
  std::thread thread_;
};

// Argument 2's table, made and dropped by its own libnftables context.
struct Tracking {
  nft_ctx* context = nft_ctx_new(NFT_CTX_DEFAULT);
  Tracking() {
    (void)nft_run_cmd_from_buffer(context,
                                  "add table inet tracking { flags owner; }\n"
                                  "add chain inet tracking output { type filter hook output priority 0; }\n"
                                  "add rule inet tracking output ct state established accept\n");
  }
  ~Tracking() { nft_ctx_free(context); }
};

// What the benchmark's argument asks for, or the run skipped with the reason.
struct Setting {
  std::unique_ptr<Enforcer> filter;
  std::optional<Tracking> tracking;
  bool ready = false;

  explicit Setting(benchmark::State& state) {
    if (!isolated()) {
      state.SkipWithError("needs root for a network namespace");
      return;
    }
    if (state.range(0) == 2) tracking.emplace();
    if (state.range(0) == 1) {
      auto started = Enforcer::start({});
      if (!started || (*started)->apply({"blocked.example"}).outcome != hushwall::FilterReport::Outcome::applied) {
        state.SkipWithError("the filter did not start");
        return;
      }
      filter = std::move(*started);
    }
    ready = true;
  }
};

void newFlow(benchmark::State& state) {
  Setting setting(state);
  if (!setting.ready) return;
  Server server(8090, [](int connection) {
    char buffer[512];
    if (recv(connection, buffer, sizeof buffer, 0) > 0) {
      static constexpr char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
      (void)!write(connection, answer, sizeof answer - 1);
    }
  });
  static constexpr char request[] = "GET / HTTP/1.1\r\nHost: allowed.example\r\n\r\n";
  std::vector<double> micros;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    int client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(8090);
    (void)connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    (void)!write(client, request, sizeof request - 1);
    char buffer[128];
    benchmark::DoNotOptimize(recv(client, buffer, sizeof buffer, 0));
    close(client);
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  }
}
BENCHMARK(newFlow)->Arg(0)->Arg(2)->Arg(1)->Iterations(2000);

// 2,500 new flows opened at once: all must be answered; the label carries the
// filter's count of verdicts given at the deadline (none is the goal).
void concurrentFlows(benchmark::State& state) {
  Setting setting(state);
  if (!setting.ready) return;
  Enforcer* filter = setting.filter.get();
  Server server(8092, [](int connection) {
    char buffer[512];
    if (recv(connection, buffer, sizeof buffer, 0) > 0) (void)!write(connection, "ok", 2);
  });
  constexpr int flows = 2500;
  static constexpr char request[] = "GET / HTTP/1.1\r\nHost: allowed.example\r\n\r\n";
  std::int64_t answered = 0;
  for (auto _ : state) {
    std::vector<pollfd> clients;
    for (int i = 0; i < flows; ++i) {
      int client = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      sockaddr_in address = loopback(8092);
      (void)connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
      clients.push_back({client, POLLOUT, 0});
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int left = flows;
    while (left > 0 && std::chrono::steady_clock::now() < until) {
      if (poll(clients.data(), clients.size(), 100) <= 0) continue;
      for (pollfd& client : clients) {
        if ((client.revents & POLLOUT) != 0) {
          (void)!write(client.fd, request, sizeof request - 1);
          client.events = POLLIN;
        } else if ((client.revents & POLLIN) != 0) {
          char buffer[16];
          if (recv(client.fd, buffer, sizeof buffer, 0) > 0) ++answered;
          client.events = 0;
          --left;
        } else if ((client.revents & (POLLERR | POLLHUP)) != 0) {
          client.events = 0;
          --left;
        }
      }
    }
    for (pollfd& client : clients) close(client.fd);
  }
  state.counters["answered"] = static_cast<double>(answered) / static_cast<double>(state.iterations());
  if (filter) state.SetLabel(filter->apply({"blocked.example"}).detail.value_or(""));
}
BENCHMARK(concurrentFlows)->Arg(0)->Arg(1)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void bulkFlow(benchmark::State& state) {
  Setting setting(state);
  if (!setting.ready) return;
  Enforcer* filter = setting.filter.get();
  Server server(8091, [](int connection) {
    std::vector<char> sink(1 << 20);
    while (recv(connection, sink.data(), sink.size(), 0) > 0) {
    }
  });
  int client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(8091);
  (void)connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
  static constexpr char request[] = "POST / HTTP/1.1\r\nHost: allowed.example\r\n\r\n";
  (void)!write(client, request, sizeof request - 1);
  std::vector<char> chunk(1 << 20, 'x');
  for (auto _ : state) {
    for (int i = 0; i < 64; ++i) (void)!write(client, chunk.data(), chunk.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 64 * static_cast<std::int64_t>(chunk.size()));
  // The filter's counters: how few packets of the flow it had to see.
  if (filter) state.SetLabel(filter->apply({"blocked.example"}).detail.value_or(""));
  close(client);
}
BENCHMARK(bulkFlow)->Arg(0)->Arg(2)->Arg(1)->MinTime(2.0)->UseRealTime();

}  // namespace
