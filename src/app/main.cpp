// Tessaly: the xAP hub of this computer.
//
// SIGTERM and SIGHUP close the hub as the window system would: shutdown, with
// a backup partner left running to take over. SIGINT is the menu's "Exit":
// the partner is stopped first.
//
// On a computer whose display answers, and when the desktop module was built,
// the hub runs on the desktop's loop with its tray icon and status window;
// otherwise it runs headless on the poll loop.
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstdio>

#include "app/command_line.h"
#include "app/hub.h"
#include "common/folders.h"
#include "platform/posix/desktop_loader.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/posix_processes.h"
#include "state/globals.h"
#include "state/log_file.h"

namespace {

// True when standard error leads somewhere a person or the journal reads:
// open, and not /dev/null (where the backup copy's streams go).
bool StandardErrorIsRead() {
  struct stat err {}, null {};
  if (fstat(STDERR_FILENO, &err) != 0) return false;
  if (stat("/dev/null", &null) != 0) return true;
  return !(S_ISCHR(err.st_mode) && err.st_rdev == null.st_rdev);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tessaly;
  const CommandLineAnswer answer = ReadCommandLine(std::vector<std::string>(argv + (argc > 0), argv + argc));
  if (!answer.run_hub) {
    std::fputs(answer.out.c_str(), stdout);
    std::fputs(answer.err.c_str(), stderr);
    return answer.exit_status;
  }

  PosixClock clock;
  PosixEventLoop poll_loop;
  PosixHost host;
  PosixProcesses processes;
  std::unique_ptr<Desktop> desktop;
  std::string no_desktop;
#ifdef TESSALY_DESKTOP_MODULE
  if (const DisplayKind display = ReachableDisplay(); display != DisplayKind::kNone) {
    const std::string module = FolderOf(processes.OwnExecutablePath()) + "/" + TESSALY_DESKTOP_MODULE;
    desktop = OpenDesktop(module, display, &argc, argv, poll_loop, no_desktop);
  } else if (const char* named = std::getenv("DISPLAY"); named && *named) {
    no_desktop = std::string("the display ") + named + " does not answer";
  }
#endif
  EventLoop& loop = desktop ? desktop->Loop() : poll_loop;
  Globals g(Platform{clock, loop, host, processes});
  if (desktop) {
    g.StatusForm = desktop->CreateStatusView();
    g.TrayForm.SetNotifyIcon(desktop->CreateNotifyIcon());
  }
  if (StandardErrorIsRead()) {
    // The log file's lines, with the line end of a terminal.
    g.LogMirror = [](const std::string& lines) {
      for (std::size_t start = 0; start < lines.size();) {
        std::size_t end = lines.find("\r\n", start);
        if (end == std::string::npos) end = lines.size();
        std::fprintf(stderr, "%.*s\n", static_cast<int>(end - start), lines.data() + start);
        start = end + 2;
      }
    };
  }

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
  auto trim = poll_loop.CreateTimer([] { malloc_trim(0); });
  trim->SetInterval(60000);
  trim->SetEnabled(true);

  hub.Load();
  if (!no_desktop.empty() && !hub.Ended()) WriteLogFile(g, "Tessaly", "No desktop, running headless: " + no_desktop);
  if (!hub.Ended()) loop.Run();
  hub.Unload();
  return 0;
}
