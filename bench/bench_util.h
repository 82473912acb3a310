// Helpers shared by the benchmarks: a private network namespace, the real hub
// started from a scratch folder, UDP sockets on loopback, and statistics.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Moves this process into a new network namespace with loopback up, so that
// the benchmark's traffic never leaves it. Exits with a message when not root.
void EnterPrivateNetwork();

// Nanoseconds of CLOCK_MONOTONIC.
std::int64_t NowNs();

// A UDP socket bound to 127.0.0.1:port (0 = any), non-blocking unless asked.
int UdpSocket(int port, bool blocking = false, int rcvbuf = 8 << 20);
void SendTo(int fd, int port, const std::string& text);
// Sends every text to 127.0.0.1:port with one sendmmsg call.
void SendBatch(int fd, int port, const std::vector<std::string>& texts);

// Receives up to 64 datagrams of up to 2 KiB at a time with recvmmsg.
class ReceiveBatch {
 public:
  ReceiveBatch();
  // Datagrams read from a non-blocking socket (0 when none are waiting).
  int Receive(int fd);
  const char* Text(int i) const { return buffers_.data() + i * kSize; }
  std::size_t Length(int i) const;

 private:
  static constexpr int kCount = 64;
  static constexpr int kSize = 2048;
  std::vector<char> buffers_;
  std::vector<unsigned char> headers_;  // mmsghdr[kCount], kept opaque here
  std::vector<unsigned char> iovecs_;
};

// The real Tessaly, copied into a fresh folder and started there.
class HubProcess {
 public:
  // Copies the executable into a fresh folder; starts it unless told not to.
  explicit HubProcess(bool start = true);
  ~HubProcess();
  void Start();
  // Writes `text` to the file at `relative` below the hub's folder (before Start).
  void WriteFile(const std::string& relative, const std::string& text) const;
  pid_t pid() const { return pid_; }
  // Resident set size in KiB, from /proc.
  long RssKb() const;
  // CPU time used so far (user and system), in nanoseconds.
  std::int64_t CpuNs() const;
  // Waits until the hub holds `port`; false after `timeout_ms`.
  bool WaitForHubPort(int timeout_ms, int port = 3639) const;
  void Stop();

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

// A 200-byte xAP message from `source` with a sequence number and a send time.
std::string Message200(const std::string& source, std::uint64_t seq, std::int64_t sent_ns);
// The send time stamped by Message200, or -1.
std::int64_t StampOf(const char* text, std::size_t len);

std::string Heartbeat(const std::string& source, int port);

// The q-quantile (0..1) of the samples, sorted in place.
double Quantile(std::vector<double>& samples, double q);

// Deliveries counted at the clients of one run: how many, over what time, and
// their delays when asked for.
struct Tally {
  long delivered = 0;
  std::int64_t first = 0, last = 0;
  std::vector<double> delays_ms;
  double PerSecond() const { return last > first ? delivered / ((last - first) / 1e9) : 0; }
};

// Reads and drops whatever waits on each of the non-blocking sockets.
void DrainAll(const std::vector<int>& fds);

}  // namespace bench
