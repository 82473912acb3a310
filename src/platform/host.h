// This computer's name and network addresses.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tessaly {

class Host {
 public:
  virtual ~Host() = default;

  // The host name, or nothing when the system cannot tell it.
  virtual std::optional<std::string> HostName() = 0;

  // Dotted IPv4 addresses of the interfaces that are up, loopback left out,
  // in the system's order. Nothing when the list cannot be read.
  virtual std::optional<std::vector<std::string>> Ipv4Addresses() = 0;
};

}  // namespace tessaly
