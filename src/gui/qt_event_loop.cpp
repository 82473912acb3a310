#include "gui/qt_event_loop.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>
#include <set>

namespace tessaly {
namespace {

// The longest the desktop waits for its own events during a nested wait.
constexpr std::uint32_t kNestedSliceMs = 20;

}  // namespace

QtEventLoop::QtEventLoop(EventLoop& inner, DrivenLoop& driven) : inner_(inner), driven_(driven) {
  deadline_.setSingleShot(true);
  deadline_.setTimerType(Qt::PreciseTimer);
  connect(&deadline_, &QTimer::timeout, this, [this] { Turn(); });
  driven_.SetChangeHandler([this] { Sync(); });
  Sync();
}

QtEventLoop::~QtEventLoop() { driven_.SetChangeHandler(nullptr); }

std::unique_ptr<Timer> QtEventLoop::CreateTimer(std::function<void()> on_tick) {
  return inner_.CreateTimer(std::move(on_tick));
}

std::unique_ptr<UdpEndpoint> QtEventLoop::CreateUdpEndpoint() { return inner_.CreateUdpEndpoint(); }

void QtEventLoop::Run() {
  if (!quit_) {
    Sync();
    QCoreApplication::exec();
  }
  quit_ = false;
}

void QtEventLoop::Quit() {
  quit_ = true;
  QCoreApplication::quit();
}

void QtEventLoop::RunOnce(std::uint32_t max_wait_ms) {
  inner_.RunOnce(std::min(max_wait_ms, kNestedSliceMs));
  QEventLoop nested;
  nested.processEvents(QEventLoop::AllEvents);
  Sync();
}

void QtEventLoop::SetErrorSink(std::function<void(const std::string&)> sink) { inner_.SetErrorSink(std::move(sink)); }

int QtEventLoop::WatchSignals(const std::vector<int>& signals, std::function<void(int)> on_signal) {
  return inner_.WatchSignals(signals, std::move(on_signal));
}

void QtEventLoop::Turn() {
  inner_.RunOnce(0);
  Sync();
}

void QtEventLoop::Sync() {
  const std::vector<int> watched = driven_.WatchedDescriptors();
  const std::set<int> wanted(watched.begin(), watched.end());
  for (auto it = notifiers_.begin(); it != notifiers_.end();) {
    if (wanted.contains(it->first)) {
      ++it;
      continue;
    }
    // It may be the very notifier whose signal is being delivered.
    it->second->setEnabled(false);
    it->second->deleteLater();
    it = notifiers_.erase(it);
  }
  for (const int fd : wanted) {
    if (notifiers_.contains(fd)) continue;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] { Turn(); });
    notifiers_[fd] = notifier;
  }

  const std::int64_t next = driven_.MsToNextTimer();
  if (next < 0) {
    deadline_.stop();
  } else {
    deadline_.start(static_cast<int>(std::min<std::int64_t>(next, 24 * 3600 * 1000)));
  }
}

}  // namespace tessaly
