#include "FilterService/FilterTable.hpp"

#include <nftables/libnftables.h>

#include <cstdio>
#include <initializer_list>

#include "FilterService/CompatQueue.hpp"
#include "FilterService/Marks.hpp"

namespace hushwall::filter {

namespace {

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// One base chain per hook and step; `body` is its rule.
std::string baseChain(std::string_view chain, std::string_view hook, int priority, std::string_view body) {
  return std::string("add chain inet hushwall ") + std::string(chain) + " { type filter hook " + std::string(hook) +
         " priority " + std::to_string(priority) + "; policy accept; }\nadd rule inet hushwall " + std::string(chain) +
         " " + std::string(body) + "\n";
}

}  // namespace

std::string FilterTable::installText(std::optional<std::uint16_t> queueNumber, unsigned generation) {
  using namespace marks;
  const std::string field = "meta mark & " + hex(marks::field);
  const std::string keep = hex(~marks::field);
  const std::string flowField = "ct mark & " + hex(marks::field);
  const std::string allowed = hex(decided(allowFlow, generation));
  const std::string blocked = hex(decided(blockFlow, generation));
  const std::string want = "meta mark set meta mark | " + hex(wantsVerdict) + " accept";

  std::string text = "add table inet hushwall { flags owner; }\n";
  text +=
      "add chain inet hushwall refuse\n"
      "add rule inet hushwall refuse meta l4proto tcp reject with tcp reset\n"
      "add rule inet hushwall refuse meta l4proto udp reject\n"
      "add rule inet hushwall refuse drop\n";
  // Step 1 (priority -5): decided flows end here; the rest is marked for the queue.
  text += "add chain inet hushwall classify\n";
  for (const std::string& rule : std::initializer_list<std::string>{
           flowField + " == " + allowed + " accept",
           // DNS answers teach the filter which names an address belongs to.
           "udp sport 53 " + want,
           // Replies pass, the resets the refusals send among them.
           std::string("ct direction reply accept"),
           flowField + " == " + blocked + " goto refuse",
           // Closing carries no name. The SYN does not either, but it tells a new
           // connection from an old one on the same addresses and ports.
           std::string("tcp flags & (fin | rst) != 0 accept"),
           "meta l4proto tcp " + want,
           "udp dport { 53, 443 } " + want,
       }) {
    text += "add rule inet hushwall classify " + rule + "\n";
  }
  text += baseChain("classify_output", "output", -5, "jump classify");
  text += baseChain("classify_forward", "forward", -5, "jump classify");
  // Answers over loopback were seen on output already.
  text += baseChain("classify_input", "input", -5, "meta iifname != \"lo\" udp sport 53 " + want);

  // Step 2 (priority 0): the queue. Without a listener the packet passes.
  if (queueNumber) {
    std::string enqueue =
        "meta mark & " + hex(wantsVerdict) + " != 0 queue num " + std::to_string(*queueNumber) + " bypass";
    text += baseChain("enqueue_output", "output", 0, enqueue);
    text += baseChain("enqueue_forward", "forward", 0, enqueue);
    text += baseChain("enqueue_input", "input", 0, enqueue);
  }

  // Step 3 (priority 5): the verdict the queue wrote into the packet mark
  // becomes the flow's conntrack mark, and the packet mark is given back. A
  // flow marked blocked since the packet was queued stays blocked: a table's
  // rules never change, so only a block that started meanwhile can be newer.
  text += "add chain inet hushwall settle\n";
  for (const std::string& rule : std::initializer_list<std::string>{
           field + " == 0 return",
           field + " == " + hex(allowFlow) + " " + flowField + " != " + blocked + " ct mark set ct mark & " + keep +
               " | " + allowed,
           field + " == " + hex(blockFlow) + " ct mark set ct mark & " + keep + " | " + blocked,
           field + " == " + hex(refusePacket) + " meta mark set meta mark & " + keep + " goto refuse",
           "meta mark set meta mark & " + keep,
           flowField + " == " + blocked + " goto refuse",
       }) {
    text += "add rule inet hushwall settle " + rule + "\n";
  }
  text += baseChain("settle_output", "output", 5, "jump settle");
  text += baseChain("settle_forward", "forward", 5, "jump settle");
  text += baseChain("settle_input", "input", 5, "jump settle");
  return text;
}

FilterTable::FilterTable(nft_ctx* context, std::uint16_t queueNumber) : context_(context), queueNumber_(queueNumber) {}

std::expected<std::unique_ptr<FilterTable>, TableError> FilterTable::open(std::uint16_t queueNumber) {
  nft_ctx* context = nft_ctx_new(NFT_CTX_DEFAULT);
  if (context == nullptr) return std::unexpected(TableError{"cannot make a libnftables context"});
  nft_ctx_buffer_output(context);
  nft_ctx_buffer_error(context);
  return std::unique_ptr<FilterTable>(new FilterTable(context, queueNumber));
}

FilterTable::~FilterTable() {
  compat_.reset();
  // Closing the context's socket removes the owned table in the kernel.
  nft_ctx_free(context_);
}

std::expected<void, TableError> FilterTable::run(const std::string& commands) {
  if (nft_run_cmd_from_buffer(context_, commands.c_str()) != 0) {
    std::string message = nft_ctx_get_error_buffer(context_);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    return std::unexpected(TableError{message.empty() ? "libnftables refused the commands" : message});
  }
  return {};
}

std::expected<void, TableError> FilterTable::removeStale() {
  // "destroy" came after this libnftables; listing first tells absent from refused.
  if (!run("list table inet hushwall")) return {};
  return run("delete table inet hushwall");
}

std::expected<void, TableError> FilterTable::install() {
  unsigned next = (generation_ + 1) % 4;
  std::string drop = installed_ ? "delete table inet hushwall\n" : "";
  auto done = run(drop + installText(needsCompat_ ? std::nullopt : std::optional(queueNumber_), next));
  if (!done && !needsCompat_) {
    // Kernels without the nftables queue expression: queue through the xtables target.
    needsCompat_ = true;
    done = run(drop + installText(std::nullopt, next));
  }
  if (!done) return done;
  if (needsCompat_ && !compat_) {
    auto compat = CompatQueue::open(queueNumber_, marks::wantsVerdict);
    if (!compat) {
      (void)run("delete table inet hushwall");
      installed_ = false;
      return std::unexpected(compat.error());
    }
    compat_ = std::move(*compat);
  }
  installed_ = true;
  generation_ = next;
  return {};
}

std::expected<void, TableError> FilterTable::remove() {
  if (!installed_) return {};
  auto done = run("delete table inet hushwall");
  if (!done) return done;
  installed_ = false;
  compat_.reset();
  return {};
}

}  // namespace hushwall::filter
