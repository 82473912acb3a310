// An IPv4 UDP socket served by PosixEventLoop.
//
// The socket is non-blocking and close-on-exec (a started copy of the hub
// must not inherit the hub port), never shares an address (no SO_REUSEADDR or
// SO_REUSEPORT, so a bind that conflicts with any other socket fails), asks
// for IP_PKTINFO to learn each datagram's destination, and has a receive
// buffer of a few MB so that a burst is not dropped by the kernel. Arrivals
// are read whole with recvmmsg, at most a bounded number per turn so that
// timers keep running under a flood.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/loop_core.h"
#include "platform/udp_endpoint.h"

namespace tessaly {

class PosixUdpEndpoint : public UdpEndpoint {
 public:
  // Made by PosixEventLoop; `core` is the loop's shared state.
  explicit PosixUdpEndpoint(std::weak_ptr<posix::LoopCore> core);
  ~PosixUdpEndpoint() override;
  PosixUdpEndpoint(const PosixUdpEndpoint&) = delete;
  PosixUdpEndpoint& operator=(const PosixUdpEndpoint&) = delete;

  // EINVAL for an address that is not dotted IPv4 (names are never looked
  // up), a port outside 0..65535 or an endpoint that is already bound.
  int Bind(const std::string& address, std::int32_t port) override;
  bool IsBound() const override;
  // EBADF while unbound.
  int SetBroadcast(bool on) override;
  int GetBroadcast() override;
  void SetRemote(const std::string& host, std::int32_t port) override;
  // EINVAL at once for a remote host that is not dotted IPv4 or a port
  // outside 0..65535; EBADF while unbound; otherwise what sendto reports.
  int Send(std::string_view text) override;
  void Close() override;
  void SetArrivalHandler(ArrivalHandler handler) override;

  // Sends `text` to the remote host at each of `ports`, in few system calls.
  // One result per port, as Send would return it.
  std::vector<int> SendToPorts(const std::vector<Delivery>& batch) override;

  // The bound port (useful after binding port 0), or 0 while unbound.
  std::int32_t LocalPort() const;

  // The socket descriptor, or -1 while unbound.
  int NativeHandle() const { return fd_; }

 private:
  void OnReadable();
  // Reads one batch into `out`; false when nothing more is waiting.
  bool ReadBatch(posix::ReceiveArea& area, std::vector<Datagram>& out);
  int SendOne(const sockaddr_in& to, std::string_view text);

  std::weak_ptr<posix::LoopCore> core_;
  int fd_ = -1;
  std::shared_ptr<posix::FdWatch> watch_;
  std::shared_ptr<ArrivalHandler> handler_;
  std::string remote_host_;
  std::int32_t remote_port_ = 0;
};

}  // namespace tessaly
