// Tessaly: the xAP hub of this computer.
//
// SIGTERM and SIGHUP close the hub as the window system would: shutdown, with
// a backup partner left running to take over. SIGINT is the menu's "Exit":
// the partner is stopped first.
#include <malloc.h>

#include <csignal>

#include "app/hub.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/posix_processes.h"
#include "state/globals.h"
#include "state/log_file.h"

int main() {
  using namespace tessaly;
  PosixClock clock;
  PosixEventLoop loop;
  PosixHost host;
  PosixProcesses processes;
  Globals g(Platform{clock, loop, host, processes});

  // A failure that escapes a handler is logged, and the hub goes on.
  loop.SetErrorSink([&g](const std::string& what) {
    g.Err.Set(0, what);
    WriteLogFile(g, "Tessaly", "Event loop");
  });

  Hub hub(g);
  loop.WatchSignals({SIGCHLD}, [&](int) {
    for (std::int32_t pid : processes.ReapChildren()) hub.ChildEnded(pid);
  });
  loop.WatchSignals({SIGTERM, SIGHUP}, [&](int) {
    hub.Unload();
    loop.Quit();
  });
  loop.WatchSignals({SIGINT}, [&](int) {
    hub.Exit();
    loop.Quit();
  });

  // A burst of traffic leaves freed memory behind; hand it back now and then.
  auto trim = loop.CreateTimer([] { malloc_trim(0); });
  trim->SetInterval(60000);
  trim->SetEnabled(true);

  hub.Load();
  if (!hub.Ended()) loop.Run();
  hub.Unload();
  return 0;
}
