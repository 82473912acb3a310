#include "platform/posix/posix_processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

extern char** environ;

namespace tessaly {
namespace {

constexpr std::size_t kCommLength = 15;
constexpr std::string_view kDeletedSuffix = " (deleted)";

std::string ProcPath(std::int32_t pid, const char* leaf) {
  return "/proc/" + std::to_string(pid) + "/" + leaf;
}

std::optional<std::string> ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The target of a symbolic link; "" when it cannot be read.
std::string ReadLink(const std::string& link) {
  std::string path(PATH_MAX, '\0');
  const ssize_t length = readlink(link.c_str(), path.data(), path.size());
  if (length <= 0) return "";
  path.resize(static_cast<std::size_t>(length));
  return path;
}

std::string WithoutDeletedSuffix(std::string path) {
  if (path.ends_with(kDeletedSuffix)) path.resize(path.size() - kDeletedSuffix.size());
  return path;
}

// The kernel's name of the process, which may hold any byte but NUL.
std::optional<std::string> ReadComm(std::int32_t pid) {
  auto text = ReadWhole(ProcPath(pid, "comm"));
  if (!text || !text->ends_with('\n')) return std::nullopt;
  text->pop_back();
  return text;
}

// The state letter of /proc/<pid>/stat, which follows the parenthesised name
// (a name that may itself hold spaces and parentheses).
std::optional<char> ProcessState(std::int32_t pid) {
  const auto stat = ReadWhole(ProcPath(pid, "stat"));
  if (!stat) return std::nullopt;
  const auto close = stat->rfind(')');
  if (close == std::string::npos || close + 2 >= stat->size()) return std::nullopt;
  return (*stat)[close + 2];
}

bool IsZombie(std::int32_t pid) {
  const auto state = ProcessState(pid);
  return state && (*state == 'Z' || *state == 'X');
}

std::optional<std::int32_t> PidOfEntry(const char* name) {
  std::int32_t pid = 0;
  for (const char* c = name; *c != '\0'; ++c) {
    if (!std::isdigit(static_cast<unsigned char>(*c)) || pid > 100000000) return std::nullopt;
    pid = pid * 10 + (*c - '0');
  }
  return pid > 0 ? std::optional(pid) : std::nullopt;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  bool Prepare() {
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    return posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
           posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0) == 0 &&
           posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0) == 0 &&
           posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                                      POSIX_SPAWN_SETSIGDEF) == 0 &&
           posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
           // Ignored signals (SIGPIPE here) would otherwise stay ignored across exec.
           posix_spawnattr_setsigdefault(&attributes_, &all) == 0;
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

}  // namespace

std::int32_t PosixProcesses::OwnPid() { return getpid(); }

std::string PosixProcesses::OwnExecutablePath() {
  std::string path = ReadLink("/proc/self/exe");
  // An executable replaced on disk while running reads as "<path> (deleted)";
  // the path itself then names the new file, the one to start.
  struct stat info {};
  if (path.ends_with(kDeletedSuffix) && stat(path.c_str(), &info) != 0) {
    path.resize(path.size() - kDeletedSuffix.size());
  }
  return path;
}

std::optional<std::int32_t> PosixProcesses::CountByName(const std::string& name) {
  const std::string wanted = name.substr(0, kCommLength);
  const std::unique_ptr<DIR, DirCloser> proc(opendir("/proc"));
  if (!proc) return std::nullopt;
  std::int32_t count = 0;
  while (const dirent* entry = readdir(proc.get())) {
    const auto pid = PidOfEntry(entry->d_name);
    if (!pid) continue;
    // A process may end between the listing and these reads: it just does not count.
    const auto comm = ReadComm(*pid);
    if (comm && *comm == wanted && !IsZombie(*pid)) ++count;
  }
  return count;
}

std::optional<std::int32_t> PosixProcesses::StartHidden(const std::string& path) {
  SpawnSetup setup;
  if (!setup.Prepare()) return std::nullopt;
  std::string argv0 = path;
  char* argv[] = {argv0.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, path.c_str(), setup.actions(), setup.attributes(), argv, environ) != 0) {
    return std::nullopt;
  }
  return pid;
}

bool PosixProcesses::IsAlive(std::int32_t pid) {
  if (pid <= 0) return false;
  const pid_t waited = waitpid(pid, nullptr, WNOHANG);
  if (waited == pid) return false;  // our child, just reaped
  if (waited == 0) return true;     // our child, still running
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  return !IsZombie(pid);
}

bool PosixProcesses::AskToClose(std::int32_t pid) { return pid > 0 && kill(pid, SIGTERM) == 0; }

bool PosixProcesses::Terminate(std::int32_t pid) { return pid > 0 && kill(pid, SIGKILL) == 0; }

bool PosixProcesses::IsCopyOfThisProgram(std::int32_t pid) {
  if (pid <= 0) return false;
  const std::string own = WithoutDeletedSuffix(ReadLink("/proc/self/exe"));
  const std::string other = WithoutDeletedSuffix(ReadLink(ProcPath(pid, "exe")));
  if (!own.empty() && !other.empty()) return own == other;
  // Without the right to read the other's executable, its name decides.
  const auto own_name = ReadComm(OwnPid());
  const auto other_name = ReadComm(pid);
  return own_name && other_name && *own_name == *other_name;
}

std::vector<std::int32_t> PosixProcesses::ReapChildren() {
  std::vector<std::int32_t> reaped;
  for (pid_t pid; (pid = waitpid(-1, nullptr, WNOHANG)) > 0;) reaped.push_back(pid);
  return reaped;
}

}  // namespace tessaly
