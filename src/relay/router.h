// The registry of local xAP clients, one Router per application that
// announced a listening port in its heartbeat.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

class Router {
 public:
  std::string Key;   // source address without sub-address, as first registered
  std::string Port;  // the text after "Port=" in its heartbeat
  std::int32_t PortNumber = 0;  // Port as it is sent to: rounded, 1..65535
  std::int32_t IntervalMax = 0;  // seconds of silence before it counts as gone

  // Records a heartbeat at wall-clock `now` (seconds).
  void Heartbeat(std::int64_t now) {
    last_heartbeat_ = now;
    has_heartbeat_ = true;
  }
  // True once `now` is strictly later than the last heartbeat plus
  // IntervalMax; an entry that never had a heartbeat is expired.
  bool Expired(std::int64_t now) const;

  void CountMessage();
  std::int32_t Count() const { return count_; }

  // True when `text` equals the text given last time; stores it.
  bool IsRepeat(const std::string& text);

 private:
  bool has_heartbeat_ = false;
  std::int64_t last_heartbeat_ = 0;
  std::int32_t count_ = 0;
  std::string last_message_;
};

// Routers in insertion order; look-up by key ignores letter case, so two keys
// that differ only in case cannot both be present.
class RouterCollection {
 public:
  // The entry whose key equals `key` in any letter case, or nullptr.
  Router* Find(std::string_view key);
  // Appends `router` under its Key; false (nothing added) when taken.
  bool Add(std::unique_ptr<Router> router);
  // Removes the entry with that key (any letter case); false when absent.
  bool Remove(std::string_view key);
  // Removes every entry for which `expired` is true, visiting each once, in
  // order; returns how many went.
  std::size_t RemoveIf(const std::function<bool(const Router&)>& expired);

  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<std::unique_ptr<Router>> items_;
};

}  // namespace tessaly
