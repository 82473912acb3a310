// Running copies of the hub, and ending the partner process.
//
// A process stands in for its window: "has a window" is alive, "close the
// window" asks the process to close (SIGTERM), "the window is gone" means it
// has exited, and Kill ends it at once (SIGKILL). Waiting for the partner to go
// keeps the hub serving: CWaitNDispatch runs the event loop while it waits.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace tessaly {

struct Globals;
class Clock;
class EventLoop;

// Raised by CWaitNDispatch::Wait when it is entered twice on one object.
class WaitError : public std::runtime_error {
 public:
  static constexpr std::uint32_t kNotReentrant = 0x800403E9u;
  WaitError();
  std::uint32_t number() const { return kNotReentrant; }
  const char* source() const { return "CWaitNDispatch"; }
};

// A timed wait that keeps dispatching the event loop's events.
class CWaitNDispatch {
 public:
  CWaitNDispatch(Clock& clock, EventLoop& loop) : clock_(clock), loop_(loop) {}
  ~CWaitNDispatch() { Cancel(); }

  // Runs the loop until `waitMilliseconds` have passed or Cancel is called,
  // then raises OnTimer. Returns at once for 0. Throws WaitError when already
  // waiting.
  void Wait(std::uint32_t waitMilliseconds);
  // Ends a running Wait early.
  void Cancel() { cancelled_ = true; }
  bool IsWaiting() const { return waiting_; }

  std::function<void()> OnTimer = [] {};

 private:
  Clock& clock_;
  EventLoop& loop_;
  bool waiting_ = false;
  bool cancelled_ = false;
};

// Running processes with that name (cut to 15 characters); 0 on failure.
std::int32_t ProcessCount(Globals& g, const std::string& name);

// `pid` while the process runs and is a copy of this program, else 0: a pid
// that the system has given to another program since is never touched.
std::int32_t InstanceToWnd(Globals& g, std::int32_t pid);

// Asks the process to close; true when it is still there right after.
bool fCloseApp(Globals& g, std::int32_t window);

// Ends the process at once; true when it was ended.
bool Kill(Globals& g, std::int32_t pid);

// Waits up to 50 x 100 ms, serving events, for the process to exit: 1 when it
// has, 0 after the time-out.
std::int32_t waitForNoWindow(Globals& g, std::int32_t pid);

// Ends the process: politely first, by force after about 5 s. True when it
// is gone.
bool StopPID(Globals& g, std::int32_t pid);

}  // namespace tessaly
