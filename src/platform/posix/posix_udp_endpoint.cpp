#include "platform/posix/posix_udp_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace tessaly {
namespace {

// recvmmsg batches read per readiness: up to 32 datagrams, then the loop
// fires its due timers before it reads on.
constexpr int kBatchesPerTurn = 4;
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// How long a send may wait for room in a full send buffer before it fails.
constexpr int kSendRoomWaitMs = 20;

std::optional<in_addr> ParseDotted(const std::string& text) {
  in_addr addr{};
  if (inet_pton(AF_INET, text.c_str(), &addr) != 1) return std::nullopt;
  return addr;
}

bool ValidPort(std::int32_t port) { return port >= 0 && port <= 65535; }

// Dotted decimal, written by hand: inet_ntop formats through sprintf, which
// costs more than the rest of taking a datagram.
std::string Dotted(in_addr addr) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&addr.s_addr);
  char text[INET_ADDRSTRLEN];
  char* p = text;
  for (int i = 0; i < 4; ++i) {
    if (i) *p++ = '.';
    unsigned v = bytes[i];
    if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
    *p++ = static_cast<char>('0' + v % 10);
  }
  return std::string(text, p);
}

std::string DestinationOf(msghdr& header) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      return Dotted(info.ipi_addr);
    }
  }
  return "";
}

void RaiseReceiveBuffer(int fd) {
  const int bytes = kReceiveBufferBytes;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);  // capped by rmem_max
  }
}

bool WaitForSendRoom(int fd) {
  pollfd p{fd, POLLOUT, 0};
  return poll(&p, 1, kSendRoomWaitMs) == 1;
}

}  // namespace

PosixUdpEndpoint::PosixUdpEndpoint(std::weak_ptr<posix::LoopCore> core)
    : core_(std::move(core)) {}

PosixUdpEndpoint::~PosixUdpEndpoint() { Close(); }

int PosixUdpEndpoint::Bind(const std::string& address, std::int32_t port) {
  if (fd_ >= 0) return EINVAL;
  const auto addr = ParseDotted(address);
  if (!addr || !ValidPort(port)) return EINVAL;

  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  const int on = 1;
  setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  RaiseReceiveBuffer(fd);

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = *addr;
  local.sin_port = htons(static_cast<std::uint16_t>(port));
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int error = errno;
    close(fd);
    return error;
  }

  fd_ = fd;
  watch_ = std::make_shared<posix::FdWatch>();
  watch_->fd = fd;
  watch_->on_readable = [this] { OnReadable(); };
  if (auto core = core_.lock()) {
    core->watches.push_back(watch_);
    core->Changed();
  }
  return 0;
}

bool PosixUdpEndpoint::IsBound() const { return fd_ >= 0; }

int PosixUdpEndpoint::SetBroadcast(bool on) {
  if (fd_ < 0) return EBADF;
  const int value = on ? 1 : 0;
  return setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) == 0 ? 0 : errno;
}

int PosixUdpEndpoint::GetBroadcast() {
  if (fd_ < 0) return EBADF;
  int value = 0;
  socklen_t size = sizeof value;
  return getsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &value, &size) == 0 ? value : errno;
}

void PosixUdpEndpoint::SetRemote(const std::string& host, std::int32_t port) {
  remote_host_ = host;
  remote_port_ = port;
}

int PosixUdpEndpoint::Send(std::string_view text) {
  const auto addr = ParseDotted(remote_host_);
  if (!addr || !ValidPort(remote_port_)) return EINVAL;
  if (fd_ < 0) return EBADF;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = *addr;
  to.sin_port = htons(static_cast<std::uint16_t>(remote_port_));
  return SendOne(to, text);
}

int PosixUdpEndpoint::SendOne(const sockaddr_in& to, std::string_view text) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const ssize_t sent = sendto(fd_, text.data(), text.size(), 0,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent >= 0) return 0;
    const int error = errno;
    if ((error != EAGAIN && error != EWOULDBLOCK) || attempt > 0 || !WaitForSendRoom(fd_)) {
      return error;
    }
  }
  return EAGAIN;
}

std::vector<int> PosixUdpEndpoint::SendToPorts(const std::vector<Delivery>& batch) {
  std::vector<int> results(batch.size(), 0);
  const auto addr = ParseDotted(remote_host_);
  std::vector<sockaddr_in> targets;
  std::vector<iovec> payloads;
  std::vector<std::size_t> batch_index;  // position of each target in `batch`
  targets.reserve(batch.size());
  payloads.reserve(batch.size());
  batch_index.reserve(batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (!addr || !ValidPort(batch[i].port)) {
      results[i] = EINVAL;
    } else if (fd_ < 0) {
      results[i] = EBADF;
    } else {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_addr = *addr;
      to.sin_port = htons(static_cast<std::uint16_t>(batch[i].port));
      targets.push_back(to);
      payloads.push_back(iovec{const_cast<char*>(batch[i].text.data()), batch[i].text.size()});
      batch_index.push_back(i);
    }
  }

  std::vector<mmsghdr> messages(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    messages[i].msg_hdr.msg_name = &targets[i];
    messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    messages[i].msg_hdr.msg_iov = &payloads[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  // sendmmsg takes at most UIO_MAXIOV messages a call and stops at the first
  // failing one: record its error (by sending it alone) and go on with the rest.
  constexpr std::size_t kMaxPerCall = 1024;
  std::size_t next = 0;
  while (next < messages.size()) {
    const std::size_t count = std::min(kMaxPerCall, messages.size() - next);
    const int sent = sendmmsg(fd_, &messages[next], static_cast<unsigned>(count), 0);
    if (sent > 0) {
      next += static_cast<std::size_t>(sent);
      continue;
    }
    const Delivery& d = batch[batch_index[next]];
    results[batch_index[next]] = SendOne(targets[next], d.text);
    ++next;
  }
  return results;
}

void PosixUdpEndpoint::Close() {
  if (watch_) {
    watch_->alive = false;
    watch_.reset();
  }
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
    if (auto core = core_.lock()) core->Changed();
  }
}

void PosixUdpEndpoint::SetArrivalHandler(ArrivalHandler handler) {
  handler_ = std::make_shared<ArrivalHandler>(std::move(handler));
}

std::int32_t PosixUdpEndpoint::LocalPort() const {
  if (fd_ < 0) return 0;
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
  return ntohs(local.sin_port);
}

void PosixUdpEndpoint::OnReadable() {
  auto core = core_.lock();
  if (!core) return;
  // Local copies: a handler may close or destroy this endpoint, or replace
  // its handler, and the loop is then told by `watch` going dead.
  const std::shared_ptr<posix::FdWatch> watch = watch_;
  const std::shared_ptr<ArrivalHandler> handler = handler_;
  std::vector<Datagram> batch;
  for (int round = 0; round < kBatchesPerTurn; ++round) {
    batch.clear();
    if (!ReadBatch(core->receive_area, batch)) return;
    for (const Datagram& datagram : batch) {
      if (handler && *handler) core->Guarded([&] { (*handler)(datagram); });
      if (!watch->alive) return;
    }
    if (batch.size() < posix::ReceiveArea::kBatch) return;
  }
}

bool PosixUdpEndpoint::ReadBatch(posix::ReceiveArea& area, std::vector<Datagram>& out) {
  area.Prepare();
  const int count = recvmmsg(fd_, area.headers.data(), static_cast<unsigned>(area.headers.size()),
                             MSG_DONTWAIT, nullptr);
  if (count <= 0) return false;
  for (int i = 0; i < count; ++i) {
    mmsghdr& m = area.headers[i];
    Datagram d;
    d.text.assign(area.data.get() + i * posix::ReceiveArea::kBufferSize, m.msg_len);
    d.from_address = Dotted(area.senders[i].sin_addr);
    d.from_port = ntohs(area.senders[i].sin_port);
    d.to_address = DestinationOf(m.msg_hdr);
    out.push_back(std::move(d));
  }
  return true;
}

}  // namespace tessaly
