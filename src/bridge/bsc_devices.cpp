#include "bridge/bsc_devices.h"

#include "common/text.h"

namespace tessaly {

namespace {
// IniTool's longest key name.
constexpr std::size_t kMaxKeyLength = 65;
}  // namespace

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

bool StorableDeviceKey(std::string_view key) {
  if (key.empty() || key.size() > kMaxKeyLength || key.front() == ' ' || key.back() == ' ') return false;
  for (char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return false;
    if (std::string_view("=,;\"\\").find(c) != std::string_view::npos) return false;
  }
  return true;
}

std::string ToHex(std::int32_t n, Reporter& report) {
  if (n < 0 || n > 255) {
    report.Report("Tessaly", "ToHex " + Dec(n), "device index outside 0 to 255");
    return "";
  }
  constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[n / 16], kDigits[n % 16]};
}

}  // namespace tessaly
