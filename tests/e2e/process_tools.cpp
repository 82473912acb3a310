#include "e2e/process_tools.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tessaly::e2e {
namespace {

using SteadyClock = std::chrono::steady_clock;

// argv or envp for posix_spawn: pointers into `strings`, ended by a null pointer.
std::vector<char*> PointerList(const std::vector<std::string>& strings) {
  std::vector<char*> list;
  for (const std::string& s : strings) list.push_back(const_cast<char*>(s.c_str()));
  list.push_back(nullptr);
  return list;
}

std::string JoinArgs(const std::vector<std::string>& argv) {
  std::string joined;
  for (const std::string& arg : argv) joined += (joined.empty() ? "" : " ") + arg;
  return joined;
}

class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// Reaps `pid` if it has ended; waits at most `timeout`.
std::optional<int> ReapWithin(pid_t pid, milliseconds timeout) {
  std::optional<int> status;
  WaitUntil(
      [&] {
        int s = 0;
        pid_t r = waitpid(pid, &s, WNOHANG);
        if (r == pid) status = s;
        return status.has_value() || (r < 0 && errno == ECHILD);
      },
      timeout, 10ms);
  return status;
}

}  // namespace

bool CommandResult::Succeeded() const { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

CommandResult RunCommand(const std::vector<std::string>& argv, milliseconds timeout) {
  CommandResult result;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    result.output = "pipe: " + std::string(std::strerror(errno));
    return result;
  }
  SpawnActions actions;
  posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(actions.get(), pipe_fds[1], 1);
  posix_spawn_file_actions_adddup2(actions.get(), pipe_fds[1], 2);
  std::vector<char*> args = PointerList(argv);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ);
  close(pipe_fds[1]);
  if (rc != 0) {
    close(pipe_fds[0]);
    result.output = "cannot start " + JoinArgs(argv) + ": " + std::strerror(rc);
    return result;
  }
  auto deadline = SteadyClock::now() + timeout;
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - SteadyClock::now()).count();
    if (left <= 0) break;
    pollfd p{pipe_fds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    result.output.append(buffer, static_cast<size_t>(n));
  }
  close(pipe_fds[0]);
  auto left = std::chrono::duration_cast<milliseconds>(deadline - SteadyClock::now());
  std::optional<int> status = ReapWithin(pid, std::max(left, 1ms));
  if (!status) {
    kill(pid, SIGKILL);
    ReapWithin(pid, 5s);
    result.output += "\n(timed out: " + JoinArgs(argv) + ")";
    return result;
  }
  result.status = *status;
  return result;
}

void MustRun(const std::vector<std::string>& argv, milliseconds timeout) {
  CommandResult result = RunCommand(argv, timeout);
  if (!result.Succeeded()) throw std::runtime_error(JoinArgs(argv) + " failed: " + result.output);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& output,
                           const std::vector<std::string>& environment) {
  SpawnActions actions;
  posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(actions.get(), 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(actions.get(), 1, 2);
  std::vector<char*> args = PointerList(argv);
  std::vector<char*> env = PointerList(environment);
  int rc = posix_spawnp(&pid_, args[0], actions.get(), nullptr, args.data(),
                        environment.empty() ? environ : env.data());
  if (rc != 0) throw std::runtime_error("cannot start " + JoinArgs(argv) + ": " + std::strerror(rc));
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0 || HasExited()) return;
  kill(pid_, SIGKILL);
  ReapWithin(pid_, 5s);
}

bool ChildProcess::HasExited() {
  if (!status_) status_ = ReapWithin(pid_, 0ms);
  return status_.has_value();
}

std::optional<int> ChildProcess::WaitForExit(milliseconds timeout) {
  if (!status_) status_ = ReapWithin(pid_, timeout);
  return status_;
}

std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) return "exited with " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
  }
  return "status " + std::to_string(status);
}

std::string ProcessName(pid_t pid) {
  std::string name = ReadWholeFile("/proc/" + std::to_string(pid) + "/comm");
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

bool IsRunning(pid_t pid) {
  if (pid <= 0) return false;
  std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos || close_paren + 2 >= stat.size()) return false;
  char state = stat[close_paren + 2];
  return state != 'Z' && state != 'X' && state != 'x';
}

std::optional<pid_t> SessionOf(pid_t pid) {
  std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close_paren + 1));
  std::string state;
  pid_t parent = 0, group = 0, session = 0;
  if (!(fields >> state >> parent >> group >> session)) return std::nullopt;
  return session;
}

std::string DescriptorTarget(pid_t pid, int fd) {
  std::error_code error;
  auto target = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), error);
  return error ? std::string() : target.string();
}

std::vector<pid_t> ChildrenOf(pid_t pid) {
  std::istringstream in(ReadWholeFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
  std::vector<pid_t> children;
  for (pid_t child; in >> child;) children.push_back(child);
  return children;
}

std::string NamespaceId(pid_t pid, const std::string& kind) {
  std::error_code error;
  auto target = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/ns/" + kind, error);
  return error ? std::string() : target.string();
}

std::optional<pid_t> InnermostPid(pid_t pid) {
  std::istringstream in(ReadWholeFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("NSpid:", 0) != 0) continue;
    std::istringstream fields(line.substr(6));
    std::optional<pid_t> last;
    for (pid_t p; fields >> p;) last = p;
    return last;
  }
  return std::nullopt;
}

std::optional<long> ResidentKiB(pid_t pid) {
  std::istringstream in(ReadWholeFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) != 0) continue;
    std::istringstream fields(line.substr(6));
    long kib = 0;
    if (fields >> kib) return kib;
  }
  return std::nullopt;
}

std::vector<pid_t> ProcessesNamed(const std::string& name, const std::string& pid_namespace) {
  std::vector<pid_t> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string file = entry.path().filename().string();
    if (file.find_first_not_of("0123456789") != std::string::npos) continue;
    pid_t pid = std::stoi(file);
    if (ProcessName(pid) == name && IsRunning(pid) && NamespaceId(pid, "pid") == pid_namespace) {
      found.push_back(pid);
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

bool SignalIfRunning(pid_t pid, const std::string& pid_namespace, int signal) {
  if (!IsRunning(pid) || NamespaceId(pid, "pid") != pid_namespace) return false;
  return kill(pid, signal) == 0;
}

std::vector<UdpBinding> UdpBindingsOf(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  // Socket table of the process's namespace: inode -> local address.
  std::map<std::string, UdpBinding> by_inode;
  std::istringstream table(ReadWholeFile(proc + "/net/udp"));
  std::string line;
  std::getline(table, line);  // column titles
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode)) {
      continue;
    }
    size_t colon = local.find(':');
    if (colon == std::string::npos) continue;
    in_addr address{};
    address.s_addr = static_cast<in_addr_t>(std::stoul(local.substr(0, colon), nullptr, 16));
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    by_inode[inode] = UdpBinding{dotted, std::stoi(local.substr(colon + 1), nullptr, 16)};
  }
  std::vector<UdpBinding> bindings;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", error)) {
    std::error_code link_error;
    std::string target = std::filesystem::read_symlink(entry.path(), link_error).string();
    if (link_error || target.rfind("socket:[", 0) != 0) continue;
    auto it = by_inode.find(target.substr(8, target.size() - 9));
    if (it != by_inode.end()) bindings.push_back(it->second);
  }
  std::sort(bindings.begin(), bindings.end());
  return bindings;
}

}  // namespace tessaly::e2e
