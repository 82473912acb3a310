// The system's clocks.
#pragma once

#include "platform/clock.h"

namespace tessaly {

class PosixClock : public Clock {
 public:
  // CLOCK_MONOTONIC in milliseconds, cut to 32 bits: it wraps like the tick
  // count the hub's repeat test expects.
  std::uint32_t TickCount() override;
  // CLOCK_REALTIME in whole seconds.
  std::int64_t Now() override;
};

}  // namespace tessaly
