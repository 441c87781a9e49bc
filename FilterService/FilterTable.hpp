// The filter's nftables table, `inet hushwall`, through libnftables. It marks
// the packets that want a verdict (TCP of undecided flows until the queue
// decides them, UDP to 53 and 443, DNS answers), queues them, turns the
// queue's verdict into the flow's conntrack mark, and resets or rejects the
// flows marked blocked, on the output, forward and input hooks for IPv4 and
// IPv6 alike. Decided flows pass at the first rules and never reach the queue.
//
// The table carries the owner flag: the kernel removes it when the netlink
// socket that made it closes, so a dead filter takes it along. The libnftables
// context keeps that socket open for this object's lifetime.
//
// Kernels built without the nftables queue expression get the queueing step
// from a second owned table holding the xtables NFQUEUE target (CompatQueue).
//
// Thread-safety: none; one thread calls every member.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct nft_ctx;

namespace hushwall::filter {

class CompatQueue;

struct TableError {
  std::string message;  // what libnftables or the kernel said
};

class FilterTable {
 public:
  static constexpr std::string_view name = "hushwall";

  // The ruleset text installing the table with conntrack generation
  // `generation` (0-3); without `queueNumber`, no queueing step.
  [[nodiscard]] static std::string installText(std::optional<std::uint16_t> queueNumber, unsigned generation);

  [[nodiscard]] static std::expected<std::unique_ptr<FilterTable>, TableError> open(std::uint16_t queueNumber);
  // Drops the table (and the compat queue table) with the socket.
  ~FilterTable();
  FilterTable(const FilterTable&) = delete;
  FilterTable& operator=(const FilterTable&) = delete;

  // Deletes a table of our name left by someone else; fails when a live
  // owner holds it (another filter runs in this network namespace).
  [[nodiscard]] std::expected<void, TableError> removeStale();
  // Installs the table afresh in one transaction, with the next generation;
  // the previous table, if any, goes in the same transaction. On failure the
  // previous table stays as it was.
  [[nodiscard]] std::expected<void, TableError> install();
  // Removes the table; nothing to do when none is installed.
  [[nodiscard]] std::expected<void, TableError> remove();

  [[nodiscard]] bool isInstalled() const { return installed_; }
  [[nodiscard]] unsigned generation() const { return generation_; }
  // True when the queueing step is the xtables target.
  [[nodiscard]] bool usesCompatQueue() const { return needsCompat_; }

 private:
  FilterTable(nft_ctx* context, std::uint16_t queueNumber);
  [[nodiscard]] std::expected<void, TableError> run(const std::string& commands);

  nft_ctx* context_;
  std::uint16_t queueNumber_;
  bool needsCompat_ = false;             // the kernel refused the nftables queue expression
  std::unique_ptr<CompatQueue> compat_;  // present while the table is, when needed
  bool installed_ = false;
  unsigned generation_ = 0;
};

}  // namespace hushwall::filter
