#include "Platform/AdmissionCache.hpp"

namespace hushwall {

const AdmissionCache::Entry* AdmissionCache::find(std::string_view uniqueName) {
  auto found = index_.find(uniqueName);
  if (found == index_.end()) return nullptr;
  order_.splice(order_.begin(), order_, found->second);
  return &*found->second;
}

void AdmissionCache::insert(Entry entry) {
  erase(entry.caller.uniqueName);
  if (index_.size() >= capacity_) erase(order_.back().caller.uniqueName);
  order_.push_front(std::move(entry));
  index_.emplace(order_.front().caller.uniqueName, order_.begin());
}

void AdmissionCache::erase(std::string_view uniqueName) {
  auto found = index_.find(uniqueName);
  if (found == index_.end()) return;
  auto entry = found->second;
  index_.erase(found);
  order_.erase(entry);
}

}  // namespace hushwall
