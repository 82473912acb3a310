#include "bridge/bsc_devices.h"

#include "common/text.h"

namespace tessaly {

SecuritySensor* BscDeviceList::Find(std::string_view key) {
  for (auto& [k, sensor] : items_) {
    if (EqualsNoCase(k, key)) return &sensor;
  }
  return nullptr;
}

bool BscDeviceList::Add(const std::string& key, SecuritySensor sensor) {
  if (Find(key)) return false;
  items_.emplace_back(key, std::move(sensor));
  return true;
}

}  // namespace tessaly
