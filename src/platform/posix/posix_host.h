// This computer's name and IPv4 addresses, from the kernel.
#pragma once

#include "platform/host.h"

namespace tessaly {

class PosixHost : public Host {
 public:
  // gethostname; the name is never resolved.
  std::optional<std::string> HostName() override;
  // getifaddrs: IPv4 addresses of interfaces that are up and not loopback,
  // in the kernel's order.
  std::optional<std::vector<std::string>> Ipv4Addresses() override;
};

}  // namespace tessaly
