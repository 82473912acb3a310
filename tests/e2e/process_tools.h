// Processes for the end-to-end harness: commands run to completion, programs
// kept running in the background, and what /proc tells about processes.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace tessaly::e2e {

using std::chrono::milliseconds;
using namespace std::chrono_literals;

// Polls `done` every `step` until it returns true or `timeout` has passed.
// Returns the last result of `done`.
template <class Predicate>
bool WaitUntil(Predicate done, milliseconds timeout, milliseconds step = 20ms);

struct CommandResult {
  int status = -1;     // waitpid status; -1 when the command could not start or timed out
  std::string output;  // standard output and error together
  bool Succeeded() const;
};

// Runs argv (argv[0] looked up in PATH) to completion, at most `timeout`;
// a command still running then is killed and counts as failed.
CommandResult RunCommand(const std::vector<std::string>& argv, milliseconds timeout = 10s);

// Runs the command; throws std::runtime_error with its output unless it exits with 0.
void MustRun(const std::vector<std::string>& argv, milliseconds timeout = 10s);

// A program started in the background, standard input from /dev/null, output and
// errors appended to a file. Destruction kills it (SIGKILL) unless it has ended,
// and reaps it.
class ChildProcess {
 public:
  // Starts argv (looked up in PATH). `environment` empty: the test's own.
  // Throws std::runtime_error when it cannot be started.
  ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& output,
               const std::vector<std::string>& environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // True once it has ended (it is reaped then).
  bool HasExited();

  // Waits at most `timeout` for its end. Its waitpid status, or nothing while it runs.
  std::optional<int> WaitForExit(milliseconds timeout);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// The name the kernel keeps for the process (/proc/<pid>/comm); "" when it is gone.
std::string ProcessName(pid_t pid);

// True while the process exists and is neither a zombie nor dead.
bool IsRunning(pid_t pid);

// The process's children (main thread only).
std::vector<pid_t> ChildrenOf(pid_t pid);

// Identity of one of its namespaces ("pid", "net", "uts"), e.g. "pid:[4026532301]";
// "" when the process is gone.
std::string NamespaceId(pid_t pid, const std::string& kind);

// The session the process belongs to, as the test sees pids.
std::optional<pid_t> SessionOf(pid_t pid);

// Where the process's descriptor `fd` leads ("/dev/null", "socket:[123]"); "" when closed.
std::string DescriptorTarget(pid_t pid, int fd);

// The process's id as seen inside its innermost PID namespace.
std::optional<pid_t> InnermostPid(pid_t pid);

// Running processes named `name` whose PID namespace is `pid_namespace`, by pid.
std::vector<pid_t> ProcessesNamed(const std::string& name, const std::string& pid_namespace);

// Sends a signal only when `pid` still runs in `pid_namespace`, so that a reused
// pid is never hit. True when sent.
bool SignalIfRunning(pid_t pid, const std::string& pid_namespace, int signal);

struct UdpBinding {
  std::string address;  // dotted IPv4
  int port = 0;
  auto operator<=>(const UdpBinding&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const UdpBinding& b) {
  return out << b.address << ':' << b.port;
}

// The IPv4 UDP sockets held open by the process, sorted; read from its own
// network namespace's table, so this works for processes in any namespace.
std::vector<UdpBinding> UdpBindingsOf(pid_t pid);

// The process's resident set size (VmRSS) in KiB; nothing when it is gone.
std::optional<long> ResidentKiB(pid_t pid);

std::string ReadWholeFile(const std::filesystem::path& path);

// A waitpid status in words: "exited with 0", "killed by signal 9 (Killed)".
std::string DescribeStatus(int status);

template <class Predicate>
bool WaitUntil(Predicate done, milliseconds timeout, milliseconds step) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    std::this_thread::sleep_for(std::min(step, std::max(left, 1ms)));
  }
  return true;
}

}  // namespace tessaly::e2e
