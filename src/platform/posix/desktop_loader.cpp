#include "platform/posix/desktop_loader.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace tessaly {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool WaylandAnswers() {
  std::string socket_path = Env("WAYLAND_DISPLAY");
  if (socket_path.empty()) return false;
  if (socket_path[0] != '/') {
    const std::string runtime = Env("XDG_RUNTIME_DIR");
    if (runtime.empty()) return false;
    socket_path = runtime + "/" + socket_path;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool answers = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return answers;
}

bool XAnswers() {
  if (Env("DISPLAY").empty()) return false;
  void* xcb = dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
  if (!xcb) return false;
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  using Disconnect = void (*)(void*);
  auto connect_to = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
  auto has_error = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
  auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
  bool answers = false;
  if (connect_to && has_error && disconnect) {
    void* connection = connect_to(nullptr, nullptr);
    answers = has_error(connection) == 0;
    disconnect(connection);
  }
  dlclose(xcb);
  return answers;
}

}  // namespace

DisplayKind ReachableDisplay() {
  if (XAnswers()) return DisplayKind::kX;
  if (WaylandAnswers()) return DisplayKind::kWayland;
  return DisplayKind::kNone;
}

std::unique_ptr<Desktop> OpenDesktop(const std::string& path, DisplayKind display, int* argc, char** argv,
                                     PosixEventLoop& inner, std::string& why) {
  // The toolkit goes where the probe found an answer, unless the user chose.
  if (display != DisplayKind::kNone) setenv("QT_QPA_PLATFORM", display == DisplayKind::kX ? "xcb" : "wayland", 0);
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char* error = dlerror();
    why = error ? error : "cannot load " + path;
    return nullptr;
  }
  auto open = reinterpret_cast<OpenDesktopFunction>(dlsym(module, kOpenDesktopSymbol));
  Desktop* desktop = open ? open(argc, argv, &inner, &inner) : nullptr;
  if (!desktop) {
    why = open ? "the desktop could not start on this display" : path + " is not the desktop module";
    // Left loaded: the toolkit does not expect to be unloaded.
    return nullptr;
  }
  return std::unique_ptr<Desktop>(desktop);
}

}  // namespace tessaly
