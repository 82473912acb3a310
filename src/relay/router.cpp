#include "relay/router.h"

#include <algorithm>

#include "common/text.h"

namespace tessaly {

bool Router::Expired(std::int64_t now) const {
  if (!has_heartbeat_) return true;
  return last_heartbeat_ + IntervalMax < now;
}

void Router::CountMessage() { Increment(count_); }

bool Router::IsRepeat(const std::string& text) {
  bool repeat = text == last_message_;
  last_message_ = text;
  return repeat;
}

Router* RouterCollection::Find(std::string_view key) {
  for (const auto& r : items_) {
    if (EqualsNoCase(r->Key, key)) return r.get();
  }
  return nullptr;
}

bool RouterCollection::Add(std::unique_ptr<Router> router) {
  if (Find(router->Key)) return false;
  items_.push_back(std::move(router));
  return true;
}

bool RouterCollection::Remove(std::string_view key) {
  auto it = std::find_if(items_.begin(), items_.end(), [&](const auto& r) { return EqualsNoCase(r->Key, key); });
  if (it == items_.end()) return false;
  items_.erase(it);
  return true;
}

std::size_t RouterCollection::RemoveIf(const std::function<bool(const Router&)>& expired) {
  return std::erase_if(items_, [&](const auto& r) { return expired(*r); });
}

}  // namespace tessaly
