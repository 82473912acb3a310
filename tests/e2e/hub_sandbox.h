// The hub's computer for one test: the real Tessaly executable copied into a
// fresh AppPath and run inside a test's network namespace, in a PID and UTS
// namespace of its own (host name "hubhost"). The instance check counts every
// process named Tessaly that /proc shows, so copies of parallel tests must not
// see each other. PID 1 of that PID namespace is a shell that only reaps
// orphans: when PID 1 dies every process in it dies, and a takeover test needs
// the backup to survive its primary.
//
// Needs root and the commands ip, unshare, nsenter, setpriv, mount and touch.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e/netns.h"
#include "e2e/process_tools.h"

namespace tessaly::e2e {

inline constexpr char kHubHostName[] = "hubhost";
inline constexpr int kHubPort = 3639;
inline constexpr int kFirstClientPort = 32768;

// One copy of the hub started by the test.
class HubCopy {
 public:
  // The hub's pid as the test sees it; 0 when it ended before it could be seen.
  pid_t pid() const { return pid_; }
  // Its pid inside the PID namespace: the number in its log file's name.
  pid_t ns_pid() const { return ns_pid_; }

  // Made by HubSandbox::StartCopy: launches argv, output to `output`.
  HubCopy(const std::vector<std::string>& argv, const std::filesystem::path& output,
          const std::vector<std::string>& environment)
      : launcher_(argv, output, environment), output_(output) {}

 private:
  friend class HubSandbox;

  ChildProcess launcher_;  // nsenter; it ends with the hub's own exit status
  std::filesystem::path output_;
  pid_t pid_ = 0;
  pid_t ns_pid_ = 0;
};

class HubSandbox {
 public:
  // Makes the AppPath and the PID namespace inside `ns`; starts no hub yet.
  // Throws std::runtime_error on failure.
  explicit HubSandbox(const NetNamespace& ns);
  // Kills every process of the PID namespace and removes the folders. When the
  // test has failed, prints the hubs' output and log files first.
  ~HubSandbox();
  HubSandbox(const HubSandbox&) = delete;
  HubSandbox& operator=(const HubSandbox&) = delete;

  const std::filesystem::path& app_path() const { return app_path_; }

  // Writes `contents` to AppPath/`relative`, making its folders; use it before
  // StartCopy for option files.
  void WriteAppFile(const std::filesystem::path& relative, const std::string& contents) const;

  // Makes AppPath/`relative` (made first if missing; "" = AppPath itself)
  // read-only for the hubs. Root writes through any file mode, so this is a
  // read-only bind mount, made in the sandbox's own mount namespace: the test
  // and the rest of the system never see it, and it goes with the namespace.
  // Call it before StartCopy. Throws when the folder is still writable inside.
  void MountReadOnly(const std::filesystem::path& relative) const;

  // Starts one more copy of the executable, with "/" as working folder, no
  // display, and returns once it runs (or has already ended). Throws when it
  // cannot be launched.
  const HubCopy& StartCopy();

  // Host pids of every running process named Tessaly in the PID namespace,
  // copies the hub started itself included.
  std::vector<pid_t> RunningHubs() const;

  // Sends `signal` to the copy while it runs. False when it no longer runs.
  bool Signal(const HubCopy& copy, int signal) const;

  // Waits at most `timeout` for the copy to end; its waitpid-style status
  // (WIFEXITED/WIFSIGNALED apply), or nothing while it still runs.
  std::optional<int> WaitForExit(const HubCopy& copy, milliseconds timeout);

  // The log file AppPath/Data/Tessaly<ns_pid>.txt of the hub whose pid inside
  // the namespace is `ns_pid`; "" when there is none.
  std::string LogOf(pid_t ns_pid) const;

 private:
  void PrintDiagnostics() const;
  // argv that runs `command` inside the sandbox's mount namespace.
  std::vector<std::string> InMountNamespace(std::vector<std::string> command) const;

  std::filesystem::path root_;
  std::filesystem::path app_path_;
  std::filesystem::path executable_;
  std::vector<std::string> environment_;
  std::unique_ptr<ChildProcess> init_launcher_;  // ip netns exec ... unshare; parent of PID 1
  pid_t init_pid_ = 0;                           // PID 1 of the namespace, as the test sees it
  std::string pid_namespace_;
  std::vector<std::unique_ptr<HubCopy>> copies_;
};

}  // namespace tessaly::e2e
