// The BSC devices the bridge knows, in the order they were added; look-ups
// ignore letter case so a device keeps its place after a restart.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaly {

class SecuritySensor {
 public:
  std::string Source;  // the device's xPL source
};

class BscDeviceList {
 public:
  SecuritySensor* Find(std::string_view key);
  // Adds under `key`; false when a key equal in any letter case exists.
  bool Add(const std::string& key, SecuritySensor sensor);
  void Clear() { items_.clear(); }
  std::size_t size() const { return items_.size(); }
  auto begin() { return items_.begin(); }
  auto end() { return items_.end(); }

 private:
  std::vector<std::pair<std::string, SecuritySensor>> items_;
};

}  // namespace tessaly
