#include "platform/posix/posix_processes.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_test_helpers.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Proc(std::int32_t pid, const std::string& leaf) { return "/proc/" + std::to_string(pid) + "/" + leaf; }

char StateOf(std::int32_t pid) {
  const std::string stat = Slurp(Proc(pid, "stat"));
  const auto close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

bool WaitUntil(const std::function<bool()>& done) {
  const posix_test::Stopwatch watch;
  while (!done() && watch.ElapsedMs() < 3000) usleep(5'000);
  return done();
}

// A shell script named `name` (plus our pid) that blocks in a builtin read on
// its own FIFO: no children of its own, and it ends on SIGTERM. The read
// borrows descriptor 0, so it keeps the standard input it got on 5.
class WaitingScript {
 public:
  explicit WaitingScript(const std::string& name)
      : name_(name + std::to_string(getpid())), folder_(fs::temp_directory_path() / ("posix-test-" + name_)) {
    fs::create_directories(folder_);
    EXPECT_EQ(mkfifo((path() + ".fifo").c_str(), 0600), 0);
    std::ofstream(path()) << "#!/bin/sh\nexec 5<&0 3<>\"$0.fifo\"\nread line <&3\n";
    fs::permissions(path(), fs::perms::owner_all);
  }
  ~WaitingScript() {
    // Only children still unreaped: a reaped pid may belong to someone else by now.
    for (const std::int32_t pid : started_) {
      if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
    fs::remove_all(folder_);
  }
  const std::string& name() const { return name_; }
  std::string path() const { return (folder_ / name_).string(); }

  // Starts the script and waits until the kernel has set up its name and
  // arguments, which posix_spawn does not wait for.
  std::int32_t Start(PosixProcesses& processes) {
    const auto pid = processes.StartHidden(path());
    EXPECT_TRUE(pid.has_value());
    if (!pid) return -1;
    started_.push_back(*pid);
    WaitUntil([&] { return !Slurp(Proc(*pid, "cmdline")).empty(); });
    return *pid;
  }

 private:
  std::string name_;
  fs::path folder_;
  std::vector<std::int32_t> started_;
};

TEST(PosixProcessesTest, OwnPidAndExecutablePathDescribeThisProgram) {
  PosixProcesses processes;
  EXPECT_EQ(processes.OwnPid(), getpid());
  EXPECT_EQ(processes.OwnExecutablePath(), fs::canonical("/proc/self/exe").string());
  EXPECT_GE(processes.CountByName("posix_tests"), 1);
}

TEST(PosixProcessesTest, StartedChildIsCountedAliveAndEndsWhenAskedToClose) {
  PosixProcesses processes;
  WaitingScript script("tslclose");
  EXPECT_EQ(processes.CountByName(script.name()), 0);
  const std::int32_t pid = script.Start(processes);

  EXPECT_EQ(processes.CountByName(script.name()), 1);
  EXPECT_TRUE(processes.IsAlive(pid));
  EXPECT_TRUE(processes.AskToClose(pid));
  EXPECT_TRUE(WaitUntil([&] { return !processes.IsAlive(pid); }));
  EXPECT_EQ(processes.CountByName(script.name()), 0);
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1) << "IsAlive left the ended child unreaped";
}

TEST(PosixProcessesTest, ZombiesAreNeitherCountedNorAliveAndGetReaped) {
  PosixProcesses processes;
  WaitingScript script("tslkill");
  const std::int32_t first = script.Start(processes);
  const std::int32_t second = script.Start(processes);
  EXPECT_TRUE(processes.Terminate(first));
  EXPECT_TRUE(processes.Terminate(second));
  ASSERT_TRUE(WaitUntil([&] { return StateOf(first) == 'Z' && StateOf(second) == 'Z'; }));

  EXPECT_EQ(processes.CountByName(script.name()), 0) << "zombies were counted";
  EXPECT_FALSE(processes.IsAlive(first));
  EXPECT_EQ(StateOf(first), '?') << "IsAlive did not reap";
  EXPECT_GE(processes.ReapChildren(), 1);
  EXPECT_EQ(StateOf(second), '?') << "ReapChildren did not reap";
}

TEST(PosixProcessesTest, NamesAreComparedByTheirFirst15Characters) {
  PosixProcesses processes;
  WaitingScript script("tslnamelonger_");  // with the pid, beyond the kernel's 15
  ASSERT_GT(script.name().size(), 15u);
  script.Start(processes);

  EXPECT_EQ(processes.CountByName(script.name()), 1);
  EXPECT_EQ(processes.CountByName(script.name().substr(0, 15)), 1);
  EXPECT_EQ(processes.CountByName(script.name().substr(0, 14)), 0);
}

TEST(PosixProcessesTest, ChildRunsInItsOwnSessionWithNullStreamsAndOurEnvironment) {
  PosixProcesses processes;
  WaitingScript script("tslsess");
  setenv("TESSALY_POSIX_TEST_MARK", "inherited", 1);
  const std::int32_t pid = script.Start(processes);
  unsetenv("TESSALY_POSIX_TEST_MARK");

  EXPECT_EQ(getsid(pid), pid);
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(Proc(pid, "fd/5")); }));
  for (const char* fd : {"fd/5", "fd/1", "fd/2"}) EXPECT_EQ(fs::read_symlink(Proc(pid, fd)), "/dev/null") << fd;
  EXPECT_NE(Slurp(Proc(pid, "environ")).find("TESSALY_POSIX_TEST_MARK=inherited"), std::string::npos);
  EXPECT_EQ(Slurp(Proc(pid, "cmdline")), std::string("/bin/sh\0", 8) + script.path() + '\0') << "arguments";
  EXPECT_FALSE(processes.StartHidden("/nonexistent/Tessaly").has_value());
}

// What the open descriptors of a process point at ("socket:[inode]", ...).
std::set<std::string> OpenFileTargets(const std::string& fd_folder) {
  std::set<std::string> targets;
  for (const auto& entry : fs::directory_iterator(fd_folder)) {
    std::error_code error;
    const auto target = fs::read_symlink(entry.path(), error);
    if (!error) targets.insert(target.string());
  }
  return targets;
}

TEST(PosixProcessesTest, ChildInheritsNeitherSocketsNorTheSignalPipe) {
  // Keeps our descriptors above the single digits that the script reuses.
  std::vector<int> fillers;
  for (int i = 0; i < 10; ++i) fillers.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
  const auto before = OpenFileTargets("/proc/self/fd");
  PosixEventLoop loop;
  ASSERT_EQ(loop.WatchSignals({SIGUSR1}, [](int) {}), 0);
  auto endpoint = loop.CreatePosixUdpEndpoint();
  ASSERT_EQ(endpoint->Bind("127.0.0.1", 0), 0);
  std::set<std::string> ours;
  std::ranges::set_difference(OpenFileTargets("/proc/self/fd"), before, std::inserter(ours, ours.end()));
  ASSERT_GE(ours.size(), 2u) << "expected the socket and the signal pipe";

  PosixProcesses processes;
  WaitingScript script("tslfds");
  const std::int32_t pid = script.Start(processes);
  for (const std::string& target : OpenFileTargets(Proc(pid, "fd"))) {
    EXPECT_FALSE(ours.contains(target)) << "the child inherited " << target;
  }
  for (const int fd : fillers) close(fd);
}

// kill(2) takes 0 as "my process group" and negative numbers as groups: a
// pid that was never set must signal nothing. Checked in a child alone in its
// own group, so that a fault ends only that child.
TEST(PosixProcessesTest, NonPositivePidsSignalNothing) {
  EXPECT_EXIT(
      {
        setpgid(0, 0);
        PosixProcesses processes;
        const bool refused = !processes.AskToClose(0) && !processes.Terminate(0) &&
                             !processes.AskToClose(-getpid()) && !processes.Terminate(-getpid()) &&
                             !processes.IsAlive(0);
        _exit(refused ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tessaly
