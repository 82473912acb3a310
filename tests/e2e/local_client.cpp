#include "e2e/local_client.h"

#include <cstring>
#include <stdexcept>
#include <utility>

#include "e2e/hub_sandbox.h"
#include "e2e/hub_texts.h"

namespace tessaly::e2e {

LocalClient::LocalClient(const Lan& lan, std::string source, std::string uid, int port)
    : source_(std::move(source)), uid_(std::move(uid)), port_(port), sender_(lan.hub_ns), inbox_(lan.hub_ns) {
  for (auto [socket, address] : {std::pair{&sender_, lan.hub_address}, std::pair{&inbox_, std::string("127.0.0.1")}}) {
    if (int error = socket->Bind(address, port_); error != 0) {
      throw std::runtime_error("local client " + source_ + " cannot bind " + address + ":" + std::to_string(port_) +
                               ": " + std::strerror(error));
    }
  }
  sender_.EnableBroadcast();
}

int LocalClient::SendHeartbeat(const std::string& interval) {
  return Broadcast(ClientHeartbeat(source_, uid_, std::to_string(port_), interval));
}

int LocalClient::Broadcast(std::string_view text) { return sender_.SendTo("255.255.255.255", kHubPort, text); }

}  // namespace tessaly::e2e
