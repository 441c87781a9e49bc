#include "HushwallCore/BlocklistRef.hpp"

#include "HushwallCore/Json.hpp"
#include "HushwallCore/Text.hpp"

namespace hushwall {

std::string shortenedName(std::string_view name, std::size_t count) {
  // Every character takes at least one byte, so a text of `count` bytes or
  // fewer has nothing to cut.
  if (name.size() <= count) return std::string(name);
  return prefixCharacters(name, count);
}

BlocklistRef::BlocklistRef(Uuid listID, std::string_view listName)
    : id(listID), name(shortenedName(listName, maxNameLength)) {}

Json BlocklistRef::toJson() const { return Json{{"id", writeUuid(id)}, {"name", name}}; }

BlocklistRef BlocklistRef::fromJson(const Json& value) {
  requireObject(value, "blocklist");
  BlocklistRef ref;
  ref.id = readUuid(required(value, "id"), "id");
  ref.name = readString(required(value, "name"), "name");
  return ref;
}

}  // namespace hushwall
