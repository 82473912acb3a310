#include "platform/posix/loop_core.h"

#include <time.h>

#include <algorithm>
#include <cstdio>

namespace tessaly::posix {

std::int64_t MonotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::int64_t MonotonicMs() { return MonotonicUs() / 1000; }

void ReceiveArea::Prepare() {
  if (!data) data = std::make_unique_for_overwrite<char[]>(kBatch * kBufferSize);
  for (std::size_t i = 0; i < kBatch; ++i) {
    vectors[i] = iovec{data.get() + i * kBufferSize, kBufferSize};
    msghdr& h = headers[i].msg_hdr;
    h = msghdr{};
    h.msg_name = &senders[i];
    h.msg_namelen = sizeof(sockaddr_in);
    h.msg_iov = &vectors[i];
    h.msg_iovlen = 1;
    h.msg_control = controls[i].bytes;
    h.msg_controllen = sizeof(controls[i].bytes);
    headers[i].msg_len = 0;
  }
}

void LoopCore::ReportError(const std::string& description) {
  if (!error_sink) {
    std::fprintf(stderr, "event handler failed: %s\n", description.c_str());
    return;
  }
  try {
    error_sink(description);
  } catch (...) {
    // A failing sink has nowhere left to report to.
  }
}

void LoopCore::Arm(TimerEntry& entry) {
  entry.deadline_us = MonotonicUs() + std::int64_t{entry.interval} * 1000;
  entry.seq = ++next_seq;
  Changed();
}

void LoopCore::PurgeDead() {
  std::erase_if(timers, [](const auto& t) { return !t->alive; });
  std::erase_if(watches, [](const auto& w) { return !w->alive; });
}

}  // namespace tessaly::posix
