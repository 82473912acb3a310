// A timer of the event loop: fires its handler every `Interval` ms while enabled.
#pragma once

#include <cstdint>

namespace tessaly {

class Timer {
 public:
  virtual ~Timer() = default;

  // Interval in milliseconds. Setting the value it already has changes
  // nothing; another value restarts the countdown of an enabled timer.
  // An interval of 0 never fires.
  virtual void SetInterval(std::uint32_t ms) = 0;
  virtual std::uint32_t Interval() const = 0;

  // Enabling a disabled timer starts its countdown now; enabling an enabled
  // one keeps its deadline, so a stream of re-arms cannot postpone the tick.
  // A tick handler may disable its own timer (a one-shot).
  virtual void SetEnabled(bool on) = 0;
  virtual bool Enabled() const = 0;
};

}  // namespace tessaly
