// Helpers shared by the tests of the Linux platform layer.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/posix/posix_event_loop.h"

namespace tessaly::posix_test {

// Milliseconds since the watch was made.
class Stopwatch {
 public:
  std::int64_t ElapsedMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
  }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point start_ = Clock::now();
};

// CPU time this thread has used, in milliseconds.
inline std::int64_t ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Turns the loop until `done` holds or `limit_ms` has passed; returns `done()`.
inline bool RunUntil(PosixEventLoop& loop, const std::function<bool()>& done,
                     std::int64_t limit_ms = 2000) {
  const Stopwatch watch;
  while (!done()) {
    const std::int64_t left = limit_ms - watch.ElapsedMs();
    if (left <= 0) return false;
    loop.RunOnce(static_cast<std::uint32_t>(left < 50 ? left : 50));
  }
  return true;
}

// Turns the loop for `ms` milliseconds.
inline void RunFor(PosixEventLoop& loop, std::int64_t ms) {
  RunUntil(loop, [] { return false; }, ms);
}

}  // namespace tessaly::posix_test
