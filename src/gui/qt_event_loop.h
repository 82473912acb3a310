// The hub's loop on a desktop: Qt's own loop serves the poll loop's sockets
// (through socket notifiers), its timers (through one timer set to the
// earliest deadline) and its signals (the self-pipe is one more socket). The
// core's timers and endpoints are the poll loop's, so they behave exactly as
// they do headless; this class only decides when the poll loop takes a turn.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdint>
#include <map>
#include <memory>

#include "platform/desktop.h"
#include "platform/event_loop.h"

namespace tessaly {

class QtEventLoop final : public QObject, public EventLoop {
 public:
  QtEventLoop(EventLoop& inner, DrivenLoop& driven);
  ~QtEventLoop() override;

  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override;
  std::unique_ptr<UdpEndpoint> CreateUdpEndpoint() override;

  // Runs Qt's loop until Quit; a Quit that comes first makes it return at once.
  void Run() override;
  void Quit() override;

  // A nested wait (a process being given time to close): the poll loop waits
  // for the hub's events in short slices, and the desktop's pending events
  // are handled between them, so the window and the menu stay alive.
  void RunOnce(std::uint32_t max_wait_ms) override;

  void SetErrorSink(std::function<void(const std::string&)> sink) override;
  int WatchSignals(const std::vector<int>& signals, std::function<void(int)> on_signal) override;

 private:
  void Turn();
  // Matches the notifiers to the watched descriptors and the timer to the
  // earliest deadline.
  void Sync();

  EventLoop& inner_;
  DrivenLoop& driven_;
  std::map<int, QSocketNotifier*> notifiers_;
  QTimer deadline_;
  bool quit_ = false;
};

}  // namespace tessaly
