#include "shell/process_utils.h"

#include "state/event_log.h"
#include "state/globals.h"

namespace tessaly {

WaitError::WaitError()
    : std::runtime_error("This function is not reentrant. If you want to wait for a second period use a new object") {}

void CWaitNDispatch::Wait(std::uint32_t waitMilliseconds) {
  if (waitMilliseconds == 0) return;
  if (waiting_) throw WaitError();
  waiting_ = true;
  cancelled_ = false;
  const std::uint32_t start = clock_.TickCount();
  while (!cancelled_) {
    std::uint32_t elapsed = clock_.TickCount() - start;
    if (elapsed >= waitMilliseconds) break;
    loop_.RunOnce(waitMilliseconds - elapsed);
  }
  Cancel();
  waiting_ = false;
  OnTimer();
}

namespace {

void Report(Globals& g, const char* operation) {
  g.Err.SetFromCurrentException();
  LogXapEvent(g, "Tessaly", operation);
}

}  // namespace

std::int32_t ProcessCount(Globals& g, const std::string& name) {
  try {
    return g.Sys.processes.CountByName(name.substr(0, 15)).value_or(0);
  } catch (...) {
    return 0;
  }
}

std::int32_t InstanceToWnd(Globals& g, std::int32_t pid) {
  try {
    return pid > 0 && g.Sys.processes.IsAlive(pid) && g.Sys.processes.IsCopyOfThisProgram(pid) ? pid : 0;
  } catch (...) {
    Report(g, "InstanceToWnd");
    return 0;
  }
}

bool fCloseApp(Globals& g, std::int32_t window) {
  try {
    if (window == 0) return false;
    g.Sys.processes.AskToClose(window);
    return g.Sys.processes.IsAlive(window);
  } catch (...) {
    Report(g, "fCloseApp");
    return false;
  }
}

bool Kill(Globals& g, std::int32_t pid) {
  try {
    return pid > 0 && g.Sys.processes.Terminate(pid);
  } catch (...) {
    return false;
  }
}

std::int32_t waitForNoWindow(Globals& g, std::int32_t pid) {
  try {
    CWaitNDispatch waiter(g.Sys.clock, g.Sys.loop);
    for (int attempt = 0; attempt < 50; ++attempt) {
      waiter.Wait(100);
      if (InstanceToWnd(g, pid) == 0) return 1;
    }
  } catch (...) {
    Report(g, "waitForNoWindow");
  }
  return 0;
}

bool StopPID(Globals& g, std::int32_t pid) {
  try {
    std::int32_t window = InstanceToWnd(g, pid);
    if (window == 0) return true;
    fCloseApp(g, window);
    if (waitForNoWindow(g, pid) == 1) return true;
    if (InstanceToWnd(g, pid) == 0) return true;
    Kill(g, pid);
    if (waitForNoWindow(g, pid) == 1) return true;
    return InstanceToWnd(g, pid) == 0;
  } catch (...) {
    Report(g, "StopPID");
    return false;
  }
}

}  // namespace tessaly
