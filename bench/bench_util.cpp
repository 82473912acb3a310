#include "bench_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace bench {

void EnterPrivateNetwork() {
  if (unshare(CLONE_NEWNET) != 0) {
    std::fprintf(stderr, "needs root for a private network namespace: %s\n", std::strerror(errno));
    std::exit(2);
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq ifr{};
  std::strcpy(ifr.ifr_name, "lo");
  ioctl(fd, SIOCGIFFLAGS, &ifr);
  ifr.ifr_flags |= IFF_UP;
  if (ioctl(fd, SIOCSIFFLAGS, &ifr) != 0) {
    std::fprintf(stderr, "cannot bring loopback up\n");
    std::exit(2);
  }
  close(fd);
}

std::int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

int UdpSocket(int port, bool blocking, int rcvbuf) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  }
  int sndbuf = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    throw std::runtime_error("bind 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
  }
  return fd;
}

void SendTo(int fd, int port, const std::string& text) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

void SendBatch(int fd, int port, const std::vector<std::string>& texts) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<iovec> iov(texts.size());
  std::vector<mmsghdr> msgs(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    iov[i] = {const_cast<char*>(texts[i].data()), texts[i].size()};
    msgs[i] = {};
    msgs[i].msg_hdr.msg_name = &a;
    msgs[i].msg_hdr.msg_namelen = sizeof a;
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  std::size_t done = 0;
  while (done < texts.size()) {
    int n = sendmmsg(fd, msgs.data() + done, static_cast<unsigned>(texts.size() - done), 0);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

ReceiveBatch::ReceiveBatch()
    : buffers_(kCount * kSize), headers_(kCount * sizeof(mmsghdr)), iovecs_(kCount * sizeof(iovec)) {
  auto* headers = reinterpret_cast<mmsghdr*>(headers_.data());
  auto* iov = reinterpret_cast<iovec*>(iovecs_.data());
  for (int i = 0; i < kCount; ++i) {
    iov[i] = {buffers_.data() + i * kSize, kSize};
    headers[i] = {};
    headers[i].msg_hdr.msg_iov = &iov[i];
    headers[i].msg_hdr.msg_iovlen = 1;
  }
}

int ReceiveBatch::Receive(int fd) {
  int n = recvmmsg(fd, reinterpret_cast<mmsghdr*>(headers_.data()), kCount, MSG_DONTWAIT, nullptr);
  return n < 0 ? 0 : n;
}

std::size_t ReceiveBatch::Length(int i) const { return reinterpret_cast<const mmsghdr*>(headers_.data())[i].msg_len; }

HubProcess::HubProcess(bool start) {
  char pattern[] = "/tmp/tessaly-bench-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
  dir_ = pattern;
  std::filesystem::copy_file(TESSALY_EXE, dir_ + "/Tessaly");
  // The desktop module goes along, for runs on a display.
  const auto module = std::filesystem::path(TESSALY_EXE).parent_path() / "tessaly-desktop.so";
  std::error_code ec;
  if (std::filesystem::exists(module, ec)) std::filesystem::copy_file(module, dir_ + "/tessaly-desktop.so", ec);
  if (start) Start();
}

void HubProcess::Start() {
  std::string exe = dir_ + "/Tessaly";
  char* argv[] = {exe.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, environ) != 0) {
    throw std::runtime_error("cannot start " + exe);
  }
  posix_spawn_file_actions_destroy(&actions);
}

HubProcess::~HubProcess() {
  Stop();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void HubProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200 && waitpid(pid_, &status, WNOHANG) == 0; ++i) usleep(10000);
  if (waitpid(pid_, &status, WNOHANG) == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

long HubProcess::RssKb() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::int64_t HubProcess::CpuNs() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close_paren + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) {
      stime = std::stol(field);
      break;
    }
  }
  return (utime + stime) * (1'000'000'000LL / sysconf(_SC_CLK_TCK));
}

void HubProcess::WriteFile(const std::string& relative, const std::string& text) const {
  const std::filesystem::path path = dir_ + "/" + relative;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

bool HubProcess::WaitForHubPort(int timeout_ms, int port) const {
  for (int waited = 0; waited < timeout_ms; waited += 2) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    bool taken = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
    close(fd);
    if (taken) return true;
    usleep(2000);
  }
  return false;
}

std::string Message200(const std::string& source, std::uint64_t seq, std::int64_t sent_ns) {
  std::string text = "xap-header\n{\nv=12\nhop=1\nuid=FF00AA00\nclass=bench.data\nsource=" + source +
                     "\n}\nbench.block\n{\nseq=" + std::to_string(seq) + "\nt=" + std::to_string(sent_ns) +
                     "\npad=";
  const std::string tail = "\n}\n";
  if (text.size() + tail.size() < 200) text.append(200 - text.size() - tail.size(), 'x');
  return text + tail;
}

std::int64_t StampOf(const char* text, std::size_t len) {
  std::string_view v(text, len);
  std::size_t at = v.find("\nt=");
  if (at == std::string_view::npos) return -1;
  return std::strtoll(v.data() + at + 3, nullptr, 10);
}

std::string Heartbeat(const std::string& source, int port) {
  return "xap-hbeat\n{\nv=12\nhop=1\nuid=FF00BB00\nclass=xap-hbeat.alive\nsource=" + source +
         "\ninterval=60\nport=" + std::to_string(port) + "\n}\n";
}

double Quantile(std::vector<double>& samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  std::size_t i = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(i, samples.size() - 1)];
}

void DrainAll(const std::vector<int>& fds) {
  char buf[65536];
  for (int fd : fds) {
    while (recv(fd, buf, sizeof buf, 0) >= 0) {
    }
  }
}

}  // namespace bench
