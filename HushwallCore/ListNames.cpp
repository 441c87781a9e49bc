#include "HushwallCore/ListNames.hpp"

#include "HushwallCore/Strings.hpp"

namespace hushwall::ListNames {

std::string phrase(const std::vector<std::string>& names) {
  std::string out;
  std::size_t spelled = names.size() < 4 ? names.size() : 2;
  for (std::size_t i = 0; i < spelled; ++i) {
    if (i > 0) out += " + ";
    out += names[i];
  }
  if (spelled < names.size()) out += cat(" + ", names.size() - spelled, " more");
  return out;
}

}  // namespace hushwall::ListNames
