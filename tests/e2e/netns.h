// Network namespaces made for one test, and sockets that the test process opens
// inside them. Every namespace has a unique name (test pid and a counter), so
// tests can run side by side; everything is removed when its object goes.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "e2e/process_tools.h"

namespace tessaly::e2e {

// A fresh network namespace with only its loopback interface, brought up.
class NetNamespace {
 public:
  // Throws std::runtime_error when the namespace cannot be made.
  NetNamespace();
  ~NetNamespace();
  NetNamespace(const NetNamespace&) = delete;
  NetNamespace& operator=(const NetNamespace&) = delete;

  // The name `ip netns` knows it by.
  const std::string& name() const { return name_; }
  int fd() const { return fd_; }

 private:
  std::string name_;
  int fd_ = -1;
};

// Moves the calling thread into `ns` for the guard's lifetime. Sockets opened
// meanwhile stay in `ns` for good. Throws when the switch fails; aborts the test
// program when it cannot switch back (nothing afterwards could be trusted).
class InNamespace {
 public:
  explicit InNamespace(const NetNamespace& ns);
  ~InNamespace();
  InNamespace(const InNamespace&) = delete;
  InNamespace& operator=(const InNamespace&) = delete;

 private:
  int own_ = -1;
};

// Two computers on one Ethernet segment: `veth0` in each namespace, the hub's
// computer at hub_address/24 and the other at peer_address/24 (10.36.x.1 and .2).
// The constructor returns once a datagram has crossed the link.
struct Lan {
  Lan();
  NetNamespace hub_ns;
  NetNamespace peer_ns;
  std::string hub_address;
  std::string peer_address;
};

// One datagram as a receiver saw it.
struct Datagram {
  std::string text;  // the payload, byte for byte
  std::string from_address;
  int from_port = 0;
  std::string to_address;  // destination address of the IP packet (a broadcast address included)
  int to_port = 0;
};

// Something datagrams arrive on. Datagrams that one wait passes over are kept,
// in order, for the next wait.
class DatagramReader {
 public:
  using Match = std::function<bool(const Datagram&)>;
  virtual ~DatagramReader() = default;

  // The first datagram, kept or new, that `match` accepts; waits at most `timeout`.
  std::optional<Datagram> WaitFor(const Match& match, milliseconds timeout);

  // Every datagram that `match` accepts, kept or arriving within `window`.
  std::vector<Datagram> CollectFor(const Match& match, milliseconds window);

  // Drops everything until nothing has arrived for `quiet`. False when the
  // traffic had not stopped after `timeout`.
  bool WaitForQuiet(milliseconds quiet, milliseconds timeout);

 protected:
  // One new datagram, or nothing when none came within `timeout`.
  virtual std::optional<Datagram> ReadOne(milliseconds timeout) = 0;

 private:
  void Keep(Datagram d);

  std::deque<Datagram> kept_;
  size_t kept_bytes_ = 0;
};

// An IPv4 UDP socket opened inside a namespace.
class UdpSocket : public DatagramReader {
 public:
  // Throws std::runtime_error when no socket can be made.
  explicit UdpSocket(const NetNamespace& ns);
  ~UdpSocket() override;
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Binds to a dotted address ("0.0.0.0" = every address) and port (0 = any).
  // Returns 0 or the errno (EADDRINUSE when another socket holds the port).
  int Bind(const std::string& address, int port);
  int LocalPort() const;
  void EnableBroadcast();
  // Lets the socket hold `bytes` of datagrams not yet read (beyond the
  // system's limit; needs root), so a burst from the hub is not cut short.
  void RaiseReceiveBuffer(int bytes = 8 << 20);

  // Sends one datagram. Returns 0 or the errno.
  int SendTo(const std::string& address, int port, std::string_view payload);

 protected:
  std::optional<Datagram> ReadOne(milliseconds timeout) override;

 private:
  int fd_ = -1;
};

// Binds a throw-away socket in `ns` and closes it again: 0 when the address and
// port were free, else the errno.
int TryBind(const NetNamespace& ns, const std::string& address, int port);

// Sees every UDP datagram carried over the loopback interface of `ns`, whoever
// holds the receiving port, as a packet capture would. Needs root.
class LoopbackSniffer : public DatagramReader {
 public:
  // Throws std::runtime_error when the capture socket cannot be made.
  explicit LoopbackSniffer(const NetNamespace& ns);
  ~LoopbackSniffer() override;
  LoopbackSniffer(const LoopbackSniffer&) = delete;
  LoopbackSniffer& operator=(const LoopbackSniffer&) = delete;

 protected:
  std::optional<Datagram> ReadOne(milliseconds timeout) override;

 private:
  int fd_ = -1;
};

}  // namespace tessaly::e2e
