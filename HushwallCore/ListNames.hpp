// The short label made from the names of several block lists.
#pragma once

#include <string>
#include <vector>

namespace hushwall::ListNames {

// Fewer than four names: joined by " + " ("" for none). Four or more: the
// first two, then " + N more" for the rest ("A + B + 3 more").
[[nodiscard]] std::string phrase(const std::vector<std::string>& names);

}  // namespace hushwall::ListNames
