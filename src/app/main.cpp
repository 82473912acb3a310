// Tessaly: the xAP hub of this computer.
#include <csignal>

#include "app/globals.h"
#include "app/hub.h"
#include "app/log_file.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/posix_processes.h"

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
  loop.WatchSignals({SIGCHLD}, [&processes](int) { processes.ReapChildren(); });
  loop.WatchSignals({SIGTERM, SIGHUP, SIGINT}, [&loop](int) { loop.Quit(); });

  Hub hub(g);
  hub.Load();
  loop.Run();
  hub.Unload();
  return 0;
}
