#include "e2e/netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tessaly::e2e {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr size_t kMaxKept = 20000;
constexpr size_t kMaxKeptBytes = 32u << 20;
constexpr size_t kReceiveBuffer = 65536 + 256;

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_in Ipv4(const std::string& address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) throw std::runtime_error("not an address: " + address);
  return a;
}

std::string Dotted(in_addr address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

// Waits for `fd` to become readable; false when `timeout` passed first.
bool Readable(int fd, milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(std::max(timeout, 0ms).count())) > 0;
}

milliseconds Left(SteadyClock::time_point deadline) {
  return std::chrono::duration_cast<milliseconds>(deadline - SteadyClock::now());
}

}  // namespace

NetNamespace::NetNamespace() {
  static int counter = 0;
  for (int attempt = 0; attempt < 50 && name_.empty(); ++attempt) {
    std::string candidate = "tsy" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    CommandResult added = RunCommand({"ip", "netns", "add", candidate});
    if (added.Succeeded()) {
      name_ = candidate;
    } else if (added.output.find("exists") == std::string::npos) {
      throw std::runtime_error("ip netns add " + candidate + ": " + added.output);
    }
  }
  if (name_.empty()) throw std::runtime_error("no free namespace name");
  fd_ = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    RunCommand({"ip", "netns", "del", name_});
    throw SystemError("open namespace " + name_);
  }
  MustRun({"ip", "-n", name_, "link", "set", "lo", "up"});
}

NetNamespace::~NetNamespace() {
  if (fd_ >= 0) close(fd_);
  CommandResult deleted = RunCommand({"ip", "netns", "del", name_});
  if (!deleted.Succeeded()) std::fprintf(stderr, "ip netns del %s: %s\n", name_.c_str(), deleted.output.c_str());
}

InNamespace::InNamespace(const NetNamespace& ns) {
  own_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (own_ < 0) throw SystemError("open own namespace");
  if (setns(ns.fd(), CLONE_NEWNET) != 0) {
    int error = errno;
    close(own_);
    errno = error;
    throw SystemError("setns " + ns.name());
  }
}

InNamespace::~InNamespace() {
  if (setns(own_, CLONE_NEWNET) != 0) {
    std::perror("setns back to the test's own namespace");
    std::abort();
  }
  close(own_);
}

Lan::Lan() {
  const std::string subnet = "10.36." + std::to_string(getpid() % 250 + 1) + ".";
  hub_address = subnet + "1";
  peer_address = subnet + "2";
  MustRun({"ip", "link", "add", "veth0", "netns", hub_ns.name(), "type", "veth", "peer", "name", "veth0", "netns",
           peer_ns.name()});
  for (auto [ns, address] : {std::pair{&hub_ns, hub_address}, std::pair{&peer_ns, peer_address}}) {
    MustRun({"ip", "-n", ns->name(), "addr", "add", address + "/24", "brd", "+", "dev", "veth0"});
    MustRun({"ip", "-n", ns->name(), "link", "set", "veth0", "up"});
  }
  UdpSocket receiver(peer_ns);
  UdpSocket sender(hub_ns);
  if (receiver.Bind(peer_address, 0) != 0) throw SystemError("bind link probe");
  for (int attempt = 0; attempt < 50; ++attempt) {
    sender.SendTo(peer_address, receiver.LocalPort(), "link probe");
    if (receiver.WaitFor([](const Datagram&) { return true; }, 100ms)) return;
  }
  throw std::runtime_error("no datagram crossed the veth link between " + hub_ns.name() + " and " + peer_ns.name());
}

void DatagramReader::Keep(Datagram d) {
  kept_bytes_ += d.text.size();
  kept_.push_back(std::move(d));
  while (kept_.size() > kMaxKept || kept_bytes_ > kMaxKeptBytes) {
    kept_bytes_ -= kept_.front().text.size();
    kept_.pop_front();
  }
}

std::optional<Datagram> DatagramReader::WaitFor(const Match& match, milliseconds timeout) {
  for (auto it = kept_.begin(); it != kept_.end(); ++it) {
    if (!match(*it)) continue;
    Datagram found = std::move(*it);
    kept_bytes_ -= found.text.size();
    kept_.erase(it);
    return found;
  }
  auto deadline = SteadyClock::now() + timeout;
  while (Left(deadline) > 0ms) {
    std::optional<Datagram> next = ReadOne(Left(deadline));
    if (!next) continue;
    if (match(*next)) return next;
    Keep(std::move(*next));
  }
  return std::nullopt;
}

bool DatagramReader::WaitForQuiet(milliseconds quiet, milliseconds timeout) {
  kept_.clear();
  kept_bytes_ = 0;
  auto deadline = SteadyClock::now() + timeout;
  while (Left(deadline) > 0ms) {
    if (!ReadOne(std::min(quiet, Left(deadline)))) return Left(deadline) > 0ms;
  }
  return false;
}

std::vector<Datagram> DatagramReader::CollectFor(const Match& match, milliseconds window) {
  std::vector<Datagram> found;
  auto deadline = SteadyClock::now() + window;
  while (std::optional<Datagram> next = WaitFor(match, std::max(Left(deadline), 0ms))) {
    found.push_back(std::move(*next));
  }
  return found;
}

UdpSocket::UdpSocket(const NetNamespace& ns) {
  InNamespace inside(ns);
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw SystemError("udp socket in " + ns.name());
  int on = 1;
  setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
}

UdpSocket::~UdpSocket() { close(fd_); }

int UdpSocket::Bind(const std::string& address, int port) {
  sockaddr_in a = Ipv4(address, port);
  return bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
}

int UdpSocket::LocalPort() const {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) != 0) return 0;
  return ntohs(a.sin_port);
}

void UdpSocket::EnableBroadcast() {
  int on = 1;
  if (setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) throw SystemError("SO_BROADCAST");
}

void UdpSocket::RaiseReceiveBuffer(int bytes) {
  if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) throw SystemError("SO_RCVBUFFORCE");
}

int UdpSocket::SendTo(const std::string& address, int port, std::string_view payload) {
  sockaddr_in a = Ipv4(address, port);
  ssize_t sent = sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return sent == static_cast<ssize_t>(payload.size()) ? 0 : (sent < 0 ? errno : EMSGSIZE);
}

std::optional<Datagram> UdpSocket::ReadOne(milliseconds timeout) {
  if (!Readable(fd_, timeout)) return std::nullopt;
  std::string buffer(kReceiveBuffer, '\0');
  iovec io{buffer.data(), buffer.size()};
  sockaddr_in from{};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr message{};
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n = recvmsg(fd_, &message, MSG_DONTWAIT);
  if (n < 0) return std::nullopt;
  Datagram d;
  d.text = buffer.substr(0, static_cast<size_t>(n));
  d.from_address = Dotted(from.sin_addr);
  d.from_port = ntohs(from.sin_port);
  d.to_port = LocalPort();
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      d.to_address = Dotted(info.ipi_addr);
    }
  }
  return d;
}

int TryBind(const NetNamespace& ns, const std::string& address, int port) {
  UdpSocket probe(ns);
  return probe.Bind(address, port);
}

LoopbackSniffer::LoopbackSniffer(const NetNamespace& ns) {
  InNamespace inside(ns);
  fd_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
  if (fd_ < 0) throw SystemError("packet socket in " + ns.name());
  int size = 8 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  sockaddr_ll where{};
  where.sll_family = AF_PACKET;
  where.sll_protocol = htons(ETH_P_IP);
  where.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
  if (where.sll_ifindex == 0 || bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
    int error = errno;
    close(fd_);
    errno = error;
    throw SystemError("bind packet socket to lo in " + ns.name());
  }
}

LoopbackSniffer::~LoopbackSniffer() { close(fd_); }

std::optional<Datagram> LoopbackSniffer::ReadOne(milliseconds timeout) {
  auto deadline = SteadyClock::now() + timeout;
  std::string packet(kReceiveBuffer, '\0');
  while (Readable(fd_, Left(deadline))) {
    sockaddr_ll from{};
    socklen_t from_length = sizeof from;
    ssize_t n = recvfrom(fd_, packet.data(), packet.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                         &from_length);
    // Loopback shows each packet twice, leaving and arriving; keep the arrival.
    if (n < 20 || from.sll_pkttype == PACKET_OUTGOING) continue;
    const auto* bytes = reinterpret_cast<const unsigned char*>(packet.data());
    size_t header = (bytes[0] & 0x0F) * 4u;
    bool first_and_only_fragment = ((bytes[6] & 0x3F) | bytes[7]) == 0;
    if ((bytes[0] >> 4) != 4 || bytes[9] != IPPROTO_UDP || !first_and_only_fragment ||
        static_cast<size_t>(n) < header + 8) {
      continue;
    }
    const unsigned char* udp = bytes + header;
    size_t udp_length = (static_cast<size_t>(udp[4]) << 8) | udp[5];
    size_t payload_length = std::min(udp_length < 8 ? 0 : udp_length - 8, static_cast<size_t>(n) - header - 8);
    Datagram d;
    in_addr source, destination;
    std::memcpy(&source, bytes + 12, 4);
    std::memcpy(&destination, bytes + 16, 4);
    d.from_address = Dotted(source);
    d.to_address = Dotted(destination);
    d.from_port = (udp[0] << 8) | udp[1];
    d.to_port = (udp[2] << 8) | udp[3];
    d.text.assign(reinterpret_cast<const char*>(udp + 8), payload_length);
    return d;
  }
  return std::nullopt;
}

}  // namespace tessaly::e2e
