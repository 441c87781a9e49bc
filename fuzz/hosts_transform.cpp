#include "DaemonCore/HostsDocument.hpp"
#include "fuzz/Input.hpp"

using namespace hushwall;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Uuid session = *Uuid::parse("0F5E2A4C-1B3D-4E6F-8A9B-C0D1E2F3A4B5");
  static const std::vector<std::string> domains = {"example.com", "www.news.org"};
  std::string_view document = fuzz::text(data, size);
  std::string applied = HostsDocument::applying(domains, session, document);
  std::string removed = HostsDocument::removingManagedRegion(document);
  fuzz::require(HostsDocument::applying(domains, session, applied) == applied, "applying is idempotent");
  fuzz::require(!HostsRegions::contains(removed), "removal leaves no region");
  fuzz::require(applied == HostsDocument::renderBlock(domains, session) + removed,
                "foreign bytes survive, after the block");
  fuzz::require(HostsDocument::removingManagedRegion(applied) == removed,
                "removing the block gives the foreign bytes back");
  return 0;
}
