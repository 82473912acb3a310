// The desktop front end: the toolkit's application, a loop that serves the
// hub from the toolkit's own loop, the notification icon and the status
// window. It lives in a module of its own that the program loads only when a
// display answers, so a headless hub never maps the toolkit.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/event_loop.h"
#include "platform/notify_icon.h"
#include "platform/status_view.h"

namespace tessaly {

// A loop that another loop can drive: it names the descriptors to watch, says
// when its next timer is due, tells when either changes, and runs one turn
// without waiting (EventLoop::RunOnce(0)).
class DrivenLoop {
 public:
  virtual ~DrivenLoop() = default;
  virtual std::vector<int> WatchedDescriptors() const = 0;
  // Milliseconds until the earliest enabled timer is due, rounded up; -1 when
  // none is enabled.
  virtual std::int64_t MsToNextTimer() const = 0;
  // Called whenever a descriptor comes or goes or a timer is armed.
  virtual void SetChangeHandler(std::function<void()> handler) = 0;
};

class Desktop {
 public:
  virtual ~Desktop() = default;

  // The loop the hub runs on: the toolkit's, serving the driven loop's
  // sockets, timers and signals. Nested waits (RunOnce) refuse re-entry.
  virtual EventLoop& Loop() = 0;
  virtual std::unique_ptr<NotifyIcon> CreateNotifyIcon() = 0;
  virtual std::unique_ptr<StatusView> CreateStatusView() = 0;
};

// The module's one entry point, looked up by name: makes the desktop on the
// display the environment names, driving `inner`; nullptr when that fails.
// `argc` and `argv` must outlive the desktop.
inline constexpr char kOpenDesktopSymbol[] = "TessalyOpenDesktop";
using OpenDesktopFunction = Desktop* (*)(int* argc, char** argv, EventLoop* inner, DrivenLoop* driven);

}  // namespace tessaly
