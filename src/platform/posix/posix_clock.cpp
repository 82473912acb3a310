#include "platform/posix/posix_clock.h"

#include <time.h>

#include "platform/posix/loop_core.h"

namespace tessaly {

std::uint32_t PosixClock::TickCount() {
  return static_cast<std::uint32_t>(posix::MonotonicMs());
}

std::int64_t PosixClock::Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec;
}

}  // namespace tessaly
