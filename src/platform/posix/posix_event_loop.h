// The poll() loop of the headless hub.
//
// One turn: wait in poll() for the readable sockets (and the signal pipe) at
// most until the earliest timer deadline, dispatch what is readable, then
// read the clock once and fire the timers due by then, earliest deadline
// first (ties in the order they were armed). Deadlines are kept in
// microseconds so that no tick comes early. A periodic timer keeps its
// cadence; after a stall it ticks once, not once per missed interval.
//
// A handler whose call is on the stack is never entered again by a nested
// RunOnce: its socket is left out of the poll set and its timer stays due
// until the handler returns.
#pragma once

#include <signal.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "platform/event_loop.h"
#include "platform/posix/loop_core.h"
#include "platform/posix/posix_udp_endpoint.h"

namespace tessaly {

class PosixEventLoop : public EventLoop, public DrivenLoop {
 public:
  // Ignores SIGPIPE for the whole process.
  PosixEventLoop();
  ~PosixEventLoop() override;
  PosixEventLoop(const PosixEventLoop&) = delete;
  PosixEventLoop& operator=(const PosixEventLoop&) = delete;

  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override;
  std::unique_ptr<UdpEndpoint> CreateUdpEndpoint() override;

  // The same endpoint with its Linux-only extras.
  std::unique_ptr<PosixUdpEndpoint> CreatePosixUdpEndpoint();

  // Runs turns until Quit. A Quit that comes before Run makes it return at
  // once; either way the request is used up when Run returns.
  void Run() override;
  void Quit() override;

  // One turn that waits at most `max_wait_ms`. May be called from a handler.
  void RunOnce(std::uint32_t max_wait_ms) override;

  // Receives the description of every exception that a handler lets out
  // (what() of a std::exception, else "unknown exception"). Without a sink the
  // text goes to stderr. The loop goes on either way.
  void SetErrorSink(std::function<void(const std::string&)> sink) override;

  // Calls `on_signal(number)` from the loop, at a safe point, for each of
  // `signals` that arrives; the signal handler itself only writes the number
  // to a pipe. Later calls add signals (or replace their callback). Only one
  // loop of the process can watch signals at a time; the previous actions are
  // restored when that loop is destroyed. Returns 0 or an error number (EBUSY
  // when another loop watches signals, EINVAL for a signal that cannot be
  // caught).
  int WatchSignals(const std::vector<int>& signals, std::function<void(int)> on_signal) override;

  // For the desktop's loop, which drives this one.
  std::vector<int> WatchedDescriptors() const override;
  std::int64_t MsToNextTimer() const override;
  void SetChangeHandler(std::function<void()> handler) override;

 private:
  void Turn(std::int64_t max_wait_ms);  // -1: no limit but the timers
  int PollTimeout(std::int64_t now_us, std::int64_t max_wait_ms) const;
  void DispatchDueTimers(std::int64_t now_us);
  int OpenSignalPipe();
  void DrainSignalPipe();
  void RestoreSignals();

  std::shared_ptr<posix::LoopCore> core_;
  bool quit_ = false;

  int signal_read_fd_ = -1;
  int signal_write_fd_ = -1;
  std::shared_ptr<posix::FdWatch> signal_watch_;
  std::map<int, std::function<void(int)>> signal_callbacks_;
  std::map<int, struct sigaction> previous_actions_;
};

}  // namespace tessaly
