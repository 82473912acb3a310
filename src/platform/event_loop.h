// The one thread's event loop: socket arrivals and timer ticks, one at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

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
};

}  // namespace tessaly
