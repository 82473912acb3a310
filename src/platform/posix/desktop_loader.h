// Finding a display and loading the desktop module.
//
// Only a display that answers makes a desktop: an unset DISPLAY, a stale one
// (a closed X server, a forwarded session gone) or a Wayland socket that
// refuses leaves the hub headless, and the toolkit is never loaded. X is
// asked through the X client library, loaded for the question only.
#pragma once

#include <memory>
#include <string>

#include "platform/desktop.h"
#include "platform/posix/posix_event_loop.h"

namespace tessaly {

enum class DisplayKind { kNone, kX, kWayland };

// Which display the environment names and answers; X when both do.
DisplayKind ReachableDisplay();

// Loads the module at `path` and opens the desktop on `display`, driving
// `inner`. Nothing, with the reason in `why`, when either fails.
std::unique_ptr<Desktop> OpenDesktop(const std::string& path, DisplayKind display, int* argc, char** argv,
                                     PosixEventLoop& inner, std::string& why);

}  // namespace tessaly
