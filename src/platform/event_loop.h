// The one thread's event loop: socket arrivals and timer ticks, one at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/timer.h"
#include "platform/udp_endpoint.h"

namespace tessaly {

class EventLoop {
 public:
  virtual ~EventLoop() = default;

  // A new timer, disabled, interval 0, calling `on_tick` on this loop.
  virtual std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) = 0;

  // A new unbound endpoint whose arrivals are dispatched by this loop.
  virtual std::unique_ptr<UdpEndpoint> CreateUdpEndpoint() = 0;

  // Dispatches events until Quit.
  virtual void Run() = 0;
  virtual void Quit() = 0;

  // Waits at most `max_wait_ms` for events and dispatches those that are
  // ready; for waits that keep the hub serving (nested inside a handler).
  virtual void RunOnce(std::uint32_t max_wait_ms) = 0;

  // Receives the description of every exception that a handler lets out; the
  // loop goes on.
  virtual void SetErrorSink(std::function<void(const std::string&)> sink) = 0;

  // Calls `on_signal(number)` from the loop, at a safe point, for each of
  // `signals` that arrives. Returns 0 or an error number.
  virtual int WatchSignals(const std::vector<int>& signals, std::function<void(int)> on_signal) = 0;
};

}  // namespace tessaly
