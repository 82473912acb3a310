#include "platform/posix/posix_event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace tessaly {
namespace {

// Write end of the signal pipe of the loop that watches signals, or -1. A
// signal handler can reach nothing else.
std::atomic<int> signal_pipe_write_fd{-1};

void OnSignal(int number) {
  const int saved_errno = errno;
  const int fd = signal_pipe_write_fd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);  // a full pipe drops it
  }
  errno = saved_errno;
}

class PosixTimer : public Timer {
 public:
  PosixTimer(std::weak_ptr<posix::LoopCore> core, std::shared_ptr<posix::TimerEntry> entry)
      : core_(std::move(core)), entry_(std::move(entry)) {}

  ~PosixTimer() override {
    entry_->alive = false;
    if (!entry_->running) entry_->on_tick = nullptr;
  }

  void SetInterval(std::uint32_t ms) override {
    if (ms == entry_->interval) return;
    entry_->interval = ms;
    if (entry_->enabled) Arm();
  }

  std::uint32_t Interval() const override { return entry_->interval; }

  void SetEnabled(bool on) override {
    if (on == entry_->enabled) return;
    entry_->enabled = on;
    if (on) Arm();
  }

  bool Enabled() const override { return entry_->enabled; }

 private:
  void Arm() {
    if (auto core = core_.lock()) core->Arm(*entry_);
  }

  std::weak_ptr<posix::LoopCore> core_;
  std::shared_ptr<posix::TimerEntry> entry_;
};

}  // namespace

PosixEventLoop::PosixEventLoop() : core_(std::make_shared<posix::LoopCore>()) {
  signal(SIGPIPE, SIG_IGN);
}

PosixEventLoop::~PosixEventLoop() { RestoreSignals(); }

std::unique_ptr<Timer> PosixEventLoop::CreateTimer(std::function<void()> on_tick) {
  auto entry = std::make_shared<posix::TimerEntry>();
  entry->on_tick = std::move(on_tick);
  core_->timers.push_back(entry);
  return std::make_unique<PosixTimer>(core_, std::move(entry));
}

std::unique_ptr<UdpEndpoint> PosixEventLoop::CreateUdpEndpoint() {
  return CreatePosixUdpEndpoint();
}

std::unique_ptr<PosixUdpEndpoint> PosixEventLoop::CreatePosixUdpEndpoint() {
  return std::make_unique<PosixUdpEndpoint>(core_);
}

void PosixEventLoop::Run() {
  while (!quit_) Turn(-1);
  quit_ = false;
}

void PosixEventLoop::Quit() { quit_ = true; }

void PosixEventLoop::RunOnce(std::uint32_t max_wait_ms) { Turn(max_wait_ms); }

void PosixEventLoop::SetErrorSink(std::function<void(const std::string&)> sink) {
  core_->error_sink = std::move(sink);
}

std::vector<int> PosixEventLoop::WatchedDescriptors() const {
  std::vector<int> fds;
  for (const auto& watch : core_->watches) {
    if (watch->alive) fds.push_back(watch->fd);
  }
  return fds;
}

std::int64_t PosixEventLoop::MsToNextTimer() const { return PollTimeout(posix::MonotonicUs(), -1); }

void PosixEventLoop::SetChangeHandler(std::function<void()> handler) { core_->on_change = std::move(handler); }

void PosixEventLoop::Turn(std::int64_t max_wait_ms) {
  core_->PurgeDead();
  std::vector<std::shared_ptr<posix::FdWatch>> polled;
  std::vector<pollfd> fds;
  for (const auto& watch : core_->watches) {
    if (!watch->alive || watch->running) continue;
    polled.push_back(watch);
    fds.push_back(pollfd{watch->fd, POLLIN, 0});
  }

  const int ready = poll(fds.data(), fds.size(), PollTimeout(posix::MonotonicUs(), max_wait_ms));
  if (ready < 0 && errno != EINTR) {
    core_->ReportError(std::string("poll: ") + std::strerror(errno));
  }
  for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
    posix::FdWatch& watch = *polled[i];
    if (fds[i].revents == 0 || !watch.alive || watch.running) continue;
    if (fds[i].revents & POLLNVAL) {
      watch.alive = false;  // closed behind our back; polling it again would spin
      core_->ReportError("descriptor " + std::to_string(watch.fd) + " was closed while watched");
      continue;
    }
    watch.running = true;
    core_->Guarded(watch.on_readable);
    watch.running = false;
  }

  DispatchDueTimers(posix::MonotonicUs());
}

int PosixEventLoop::PollTimeout(std::int64_t now_us, std::int64_t max_wait_ms) const {
  std::int64_t timeout = max_wait_ms;
  for (const auto& timer : core_->timers) {
    if (!timer->Pending()) continue;
    // Rounded up: waking before the deadline would only cost an empty turn.
    const std::int64_t until = std::max<std::int64_t>(0, (timer->deadline_us - now_us + 999) / 1000);
    if (timeout < 0 || until < timeout) timeout = until;
  }
  return static_cast<int>(std::min<std::int64_t>(timeout, INT_MAX));
}

void PosixEventLoop::DispatchDueTimers(std::int64_t now_us) {
  std::vector<std::shared_ptr<posix::TimerEntry>> due;
  for (const auto& timer : core_->timers) {
    if (timer->DueAt(now_us)) due.push_back(timer);
  }
  std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
    return a->deadline_us != b->deadline_us ? a->deadline_us < b->deadline_us : a->seq < b->seq;
  });
  for (const auto& timer : due) {
    // An earlier handler may have disabled, restarted or destroyed this one.
    if (!timer->DueAt(now_us)) continue;
    // Keep the cadence, but after a long stall tick once rather than in a burst.
    const std::int64_t interval_us = std::int64_t{timer->interval} * 1000;
    timer->deadline_us += interval_us;
    if (timer->deadline_us <= now_us) timer->deadline_us = now_us + interval_us;
    timer->running = true;
    core_->Guarded(timer->on_tick);
    timer->running = false;
  }
}

int PosixEventLoop::WatchSignals(const std::vector<int>& signals,
                                 std::function<void(int)> on_signal) {
  for (const int number : signals) {
    if (number <= 0 || number >= NSIG || number == SIGKILL || number == SIGSTOP) return EINVAL;
  }
  if (signal_read_fd_ < 0) {
    const int error = OpenSignalPipe();
    if (error != 0) return error;
  }
  for (const int number : signals) {
    signal_callbacks_[number] = on_signal;
    if (previous_actions_.contains(number)) continue;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    struct sigaction previous {};
    if (sigaction(number, &action, &previous) != 0) return errno;
    previous_actions_[number] = previous;
  }
  return 0;
}

int PosixEventLoop::OpenSignalPipe() {
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return errno;
  int expected = -1;
  if (!signal_pipe_write_fd.compare_exchange_strong(expected, fds[1])) {
    close(fds[0]);
    close(fds[1]);
    return EBUSY;
  }
  signal_read_fd_ = fds[0];
  signal_write_fd_ = fds[1];
  signal_watch_ = std::make_shared<posix::FdWatch>();
  signal_watch_->fd = signal_read_fd_;
  signal_watch_->on_readable = [this] { DrainSignalPipe(); };
  core_->watches.push_back(signal_watch_);
  core_->Changed();
  return 0;
}

void PosixEventLoop::DrainSignalPipe() {
  unsigned char numbers[64];
  ssize_t count;
  while ((count = read(signal_read_fd_, numbers, sizeof numbers)) > 0) {
    for (ssize_t i = 0; i < count; ++i) {
      const auto found = signal_callbacks_.find(numbers[i]);
      if (found == signal_callbacks_.end()) continue;
      // A copy: the callback may replace itself through WatchSignals.
      const std::function<void(int)> callback = found->second;
      core_->Guarded([&] { callback(numbers[i]); });
    }
  }
}

void PosixEventLoop::RestoreSignals() {
  for (const auto& [number, previous] : previous_actions_) sigaction(number, &previous, nullptr);
  previous_actions_.clear();
  if (signal_write_fd_ < 0) return;
  signal_pipe_write_fd.store(-1);
  signal_watch_->alive = false;
  close(signal_read_fd_);
  close(signal_write_fd_);
  signal_read_fd_ = signal_write_fd_ = -1;
}

}  // namespace tessaly
