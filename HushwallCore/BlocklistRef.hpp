// A reference to one of the user's block lists, by id, with its name as shown.
#pragma once

#include <cstddef>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

#include "HushwallCore/Uuid.hpp"

namespace hushwall {

struct BlocklistRef {
  static constexpr std::size_t maxNameLength = 64;

  Uuid id;
  std::string name;

  BlocklistRef() = default;
  // Keeps only the first `maxNameLength` characters of the name.
  BlocklistRef(Uuid id, std::string_view name);

  // JSON: {"id": UUID text, "name": string}; both required on reading, and
  // reading keeps the name as it is. fromJson throws JsonDecodeFailure.
  [[nodiscard]] nlohmann::json toJson() const;
  [[nodiscard]] static BlocklistRef fromJson(const nlohmann::json& value);

  friend bool operator==(const BlocklistRef&, const BlocklistRef&) = default;
};

// The first `count` characters of a name; cheap when the name is short.
[[nodiscard]] std::string shortenedName(std::string_view name, std::size_t count);

}  // namespace hushwall
