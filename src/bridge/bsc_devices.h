// The BSC devices the bridge knows, in the order they were added; look-ups
// ignore letter case so a device keeps its place after a restart (the options
// file gives device keys back upper-cased).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/reporter.h"

namespace tessaly {

// One Z-Wave node or remote-control device, shown to xAP as a BSC device.
class SecuritySensor {
 public:
  std::int32_t State = 0;     // last numeric state (remote devices: the key code)
  std::int16_t Index = 0;     // device number from 1; the last two hex digits of its uid
  std::string SerialNumber;   // the device name in its xAP sub-address
  std::string Source;         // the xPL source that reported it
};

class BscDeviceList {
 public:
  // At most this many devices: an Index is 16-bit.
  static constexpr std::size_t kMaxDevices = INT16_MAX;

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

// Whether a device name from the network can be kept as a device: stored in
// the options file as a key (at most 65 characters) and read back as the same
// key, with its serial number, without changing any other entry. Control
// characters and the characters the file or the entry's fields use ("=", ",",
// ";", a double quote, a backslash) are refused, and so are blanks at either
// end.
bool StorableDeviceKey(std::string_view key);

// Two upper-case hexadecimal digits of a device index (0 gives "00", 255
// "FF"). Outside 0 to 255 there is no such text: the failure goes to `report`
// as ("Tessaly", "ToHex <n>") and the result is "".
std::string ToHex(std::int32_t n, Reporter& report);

}  // namespace tessaly
