// One IPv4 UDP socket registered with the event loop.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

// One received datagram. Text is the payload byte for byte.
struct Datagram {
  std::string text;
  std::string from_address;  // dotted IPv4
  std::int32_t from_port = 0;
  std::string to_address;    // the destination address it was sent to (dotted IPv4)
};

// One datagram of a batch: its text and the port of the remote host it goes to.
struct Delivery {
  std::string_view text;
  std::int32_t port = 0;
};

class UdpEndpoint {
 public:
  using ArrivalHandler = std::function<void(const Datagram&)>;

  virtual ~UdpEndpoint() = default;

  // Binds to a dotted IPv4 address ("0.0.0.0" for every address) and port.
  // Never reuses an address: fails when any socket holds the port in a way
  // that conflicts. Returns 0 or the system's error number.
  virtual int Bind(const std::string& address, std::int32_t port) = 0;
  virtual bool IsBound() const = 0;

  // The broadcast permission. Set returns 0 or an error number; Get returns
  // the option's value, or the error number when it cannot be read.
  virtual int SetBroadcast(bool on) = 0;
  virtual int GetBroadcast() = 0;

  // Remote host (dotted IPv4 only, never a name) and port used by Send.
  virtual void SetRemote(const std::string& host, std::int32_t port) = 0;

  // Sends one datagram to the remote host and port. Returns 0 or an error
  // number (an invalid host or port, or a refusal of the network layer).
  virtual int Send(std::string_view text) = 0;

  // Sends each delivery's text to the remote host at its port, in this
  // order, in as few system calls as the system allows. One result per
  // delivery, as Send returns it.
  virtual std::vector<int> SendToPorts(const std::vector<Delivery>& batch) = 0;

  // Closes the socket; a closed endpoint can be bound again.
  virtual void Close() = 0;

  // Called by the event loop for every datagram that arrives.
  virtual void SetArrivalHandler(ArrivalHandler handler) = 0;
};

}  // namespace tessaly
