// Time as the hub sees it.
#pragma once

#include <cstdint>

namespace tessaly {

class Clock {
 public:
  virtual ~Clock() = default;

  // Milliseconds since some fixed point; wraps after about 49.7 days, so
  // compare two ticks by their unsigned difference, never by `<`.
  virtual std::uint32_t TickCount() = 0;

  // Wall-clock now, seconds since the epoch. Follows changes of the
  // computer's clock.
  virtual std::int64_t Now() = 0;
};

}  // namespace tessaly
