// An xAP application on the hub's computer, as the hub sees one: it
// broadcasts from the computer's LAN address and its own port (so the hub
// takes its heartbeats as local), and listens on 127.0.0.1 at that port,
// where the hub forwards what it relays.
#pragma once

#include <string>
#include <string_view>

#include "e2e/netns.h"

namespace tessaly::e2e {

class LocalClient {
 public:
  // Binds hub_address:`port` and 127.0.0.1:`port` in the hub's namespace.
  // Throws std::runtime_error when either is taken.
  LocalClient(const Lan& lan, std::string source, std::string uid, int port);

  const std::string& source() const { return source_; }
  int port() const { return port_; }

  // Broadcasts its heartbeat, announcing `port()` and `interval` seconds.
  // Returns 0 or the errno.
  int SendHeartbeat(const std::string& interval = "60");

  // Broadcasts `text` to port 3639 from its LAN address. Returns 0 or the errno.
  int Broadcast(std::string_view text);

  // Where the hub's forwarded copies arrive.
  UdpSocket& inbox() { return inbox_; }

 private:
  std::string source_;
  std::string uid_;
  int port_;
  UdpSocket sender_;
  UdpSocket inbox_;
};

}  // namespace tessaly::e2e
