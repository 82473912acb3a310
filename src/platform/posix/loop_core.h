// State shared between PosixEventLoop and the timers and endpoints it makes.
//
// The loop, its timers and its endpoints may be destroyed in any order, and
// a handler may destroy or close the very object that is calling it. So the
// loop never points at a Timer or an endpoint: it keeps shared entries
// (TimerEntry, FdWatch) that the objects mark dead when they go, and drops
// dead entries at the start of its next turn. Every dispatch works on a
// snapshot of entries and checks `alive` again right before each call.
#pragma once

#include <sys/socket.h>
#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tessaly::posix {

// CLOCK_MONOTONIC in milliseconds and in microseconds, never wrapping.
std::int64_t MonotonicMs();
std::int64_t MonotonicUs();

struct TimerEntry {
  std::function<void()> on_tick;
  std::uint32_t interval = 0;
  bool enabled = false;
  bool alive = true;
  bool running = false;  // its handler is on the stack; never entered twice
  std::int64_t deadline_us = 0;  // microseconds: whole ms would let a tick come early
  std::uint64_t seq = 0;  // arm order: breaks ties between equal deadlines

  bool Pending() const { return alive && enabled && interval > 0 && !running; }
  bool DueAt(std::int64_t now_us) const { return Pending() && deadline_us <= now_us; }
};

struct FdWatch {
  int fd = -1;
  std::function<void()> on_readable;
  bool alive = true;
  bool running = false;
};

// Buffers for recvmmsg, shared by all endpoints of one loop and allocated on
// first use. An endpoint copies a whole batch out before it calls any handler,
// so a nested turn may reuse them.
struct ReceiveArea {
  static constexpr std::size_t kBatch = 8;
  static constexpr std::size_t kBufferSize = 65536;

  std::unique_ptr<char[]> data;  // kBatch * kBufferSize, left uninitialised
  std::array<mmsghdr, kBatch> headers{};
  std::array<iovec, kBatch> vectors{};
  std::array<sockaddr_in, kBatch> senders{};
  struct alignas(cmsghdr) Control {
    char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
  };
  std::array<Control, kBatch> controls{};

  // Makes the headers ready for one recvmmsg call.
  void Prepare();
};

struct LoopCore {
  std::vector<std::shared_ptr<TimerEntry>> timers;
  std::vector<std::shared_ptr<FdWatch>> watches;
  std::uint64_t next_seq = 0;
  ReceiveArea receive_area;
  std::function<void(const std::string&)> error_sink;
  // Told when a watch comes or goes or a timer is armed (a loop that drives
  // this one resynchronises).
  std::function<void()> on_change;

  // Calls `fn`; an exception it throws goes to the error sink instead.
  template <typename Fn>
  void Guarded(Fn&& fn) {
    try {
      fn();
    } catch (const std::exception& e) {
      ReportError(e.what());
    } catch (...) {
      ReportError("unknown exception");
    }
  }
  void ReportError(const std::string& description);

  // Sets a fresh countdown of `entry->interval` ms from now.
  void Arm(TimerEntry& entry);

  void PurgeDead();
  void Changed() {
    if (on_change) on_change();
  }
};

}  // namespace tessaly::posix
