// The Linux platform layer against the real system: the poll loop with its timers, signals and UDP
// endpoints; processes; the clock and the host.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <ranges>
#include <stdexcept>

#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_processes.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;

std::string Proc(std::int32_t pid, const std::string& leaf) { return "/proc/" + std::to_string(pid) + "/" + leaf; }

// A copy of this program that this program started only waits, at most 30 s, to be signalled.
[[maybe_unused]] const bool kIsSleeper = [](std::error_code error = {}) {
  return fs::equivalent("/proc/self/exe", Proc(getppid(), "exe"), error) && (sleep(30), _exit(0), true);
}();

std::string Text(const std::string& path) { return {std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {}}; }

std::int64_t NowMs() { return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::milliseconds(1); }
std::int64_t CpuMs() { return std::clock() * 1000 / CLOCKS_PER_SEC; }

// Open descriptors whose F_GETFD flags are `flags`; 0: those a started program would inherit.
int OpenFds(int flags) {
  return std::ranges::count_if(std::views::iota(0, 4096), [flags](int fd) { return fcntl(fd, F_GETFD) == flags; });
}

// Turns the loop until `done` holds or `limit_ms` has passed; returns `done()`.
bool RunUntil(PosixEventLoop& loop, const std::function<bool()>& done, std::int64_t limit_ms = 2000) {
  for (const std::int64_t end = NowMs() + limit_ms; !done() && NowMs() < end;) loop.RunOnce(10);
  return done();
}

std::unique_ptr<Timer> Started(PosixEventLoop& loop, std::uint32_t interval_ms, std::function<void()> on_tick) {
  auto timer = loop.CreateTimer(std::move(on_tick));
  timer->SetInterval(interval_ms);
  timer->SetEnabled(true);
  return timer;
}

std::unique_ptr<PosixUdpEndpoint> Bound(PosixEventLoop& loop, const char* address) {
  auto endpoint = loop.CreatePosixUdpEndpoint();
  EXPECT_EQ(endpoint->Bind(address, 0), 0);
  return endpoint;
}

// First, due together: b and d (10 ms, armed in that order), c (20), a (30), e and f (40); b destroys itself
// and e, disables f and throws; d disables itself and throws what is not an exception. Then, with the first
// ones kept, p ticks every 20 ms and w waits 150 ms in nested turns on its first tick.
TEST(PosixEventLoopTest, TimersFireByDeadlineSurviveTheirHandlersAndANestedWaitNeverReentersItsCaller) {
  PosixEventLoop loop;
  std::vector<std::string> errors;
  loop.SetErrorSink([&](const std::string& e) { errors.push_back(e); });
  std::int64_t start = NowMs();
  std::map<char, std::vector<std::int64_t>> ticks;  // ms after start
  std::map<char, std::unique_ptr<Timer>> t;
  std::string order;
  const auto start_timers = [&](std::initializer_list<std::pair<char, int>> intervals) {
    for (const auto& [name, ms] : intervals) t[name] = Started(loop, ms, [&, name = name] {
      order += name, ticks[name].push_back(NowMs() - start);
      if (name == 'b') t.erase('b'), t.erase('e'), t['f']->SetEnabled(false), throw std::runtime_error("boom");
      if (name == 'd') t['d']->SetEnabled(false), throw 42;
      if (name != 'w' || ticks['w'].size() > 1) return;
      const std::int64_t cpu = CpuMs(), p_before = std::ssize(ticks['p']);
      for (const std::int64_t end = NowMs() + 150; NowMs() < end;) loop.RunOnce(50);
      EXPECT_TRUE(ticks['w'].size() == 1 && std::ssize(ticks['p']) >= p_before + 5 && CpuMs() - cpu < 60)
          << "the nested wait entered its caller again, served no other timer or spun on the caller's overdue tick";
    });
  };
  start_timers({{'a', 30}, {'b', 10}, {'c', 20}, {'d', 10}, {'e', 40}, {'f', 40}});
  usleep(50'000);
  loop.RunOnce(0);
  EXPECT_EQ(order, "bdca");
  start = NowMs();
  const std::uint32_t first_tick_count = PosixClock().TickCount();
  start_timers({{'p', 20}, {'w', 10}});
  ASSERT_TRUE(RunUntil(loop, [&] { return ticks['w'].size() > 1 && NowMs() - start >= 250; }, 1000));
  EXPECT_EQ(errors, (std::vector<std::string>{"boom", "unknown exception"})) << "a dead or disabled timer fired";
  EXPECT_LE(std::ssize(ticks['p']) * 20, NowMs() - start) << "ticked more often than its interval";
  EXPECT_LE(std::ssize(ticks['w']) * 10, NowMs() - start - 120) << "made up for the intervals its nested wait missed";
  EXPECT_NEAR(PosixClock().TickCount() - first_tick_count, NowMs() - start, 5) << "ticks are not milliseconds";
  EXPECT_NEAR(PosixClock().Now(), std::time(nullptr), 1) << "not the wall clock";
}

TEST(PosixEventLoopTest, QuitIsUsedUpByRunAndSignalsComeThroughAPipe) {
  const std::int64_t inheritable = OpenFds(0), start = NowMs(), cpu = CpuMs();
  auto loop = std::make_unique<PosixEventLoop>();
  auto guard = Started(*loop, 2000, [&] { loop->Quit(); });  // bounds every Run
  loop->Quit();
  loop->Run();  // at once: the request came first
  std::vector<int> seen;
  ASSERT_EQ(loop->WatchSignals({SIGUSR1, SIGUSR2}, [&](int s) { seen.push_back(s), loop->Quit(); }), 0);
  EXPECT_EQ(OpenFds(0), inheritable) << "a started program would inherit the signal pipe";
  auto raiser = Started(*loop, 50, [&] { raise(SIGUSR1), raise(SIGUSR2), seen.push_back(0); });
  loop->Run();
  EXPECT_EQ(seen, (std::vector<int>{0, SIGUSR1, SIGUSR2})) << "ran inside the handler, or a Quit ended a later Run";
  EXPECT_LT(NowMs() - start, 1000) << "a Quit that came before Run was lost";
  EXPECT_LT(CpuMs() - cpu, 30) << "the loop busy-waited";
}

TEST(PosixUdpEndpointTest, BindsWithoutSharingToDottedAddressesOnlyAndABatchArrivesWholeAndInOrder) {
  PosixEventLoop loop;
  std::vector<std::string> errors;
  loop.SetErrorSink([&](const std::string& e) { errors.push_back(e); });
  const int open_before = OpenFds(FD_CLOEXEC);
  // No port sharing between a wildcard and a loopback bind; dotted addresses only, no names.
  for (const auto& [first, second, expected] :
       {std::tuple{"127.0.0.1", "0.0.0.0", EADDRINUSE}, {"127.0.0.1", "127.0.0.2", 0},
        {"127.0.0.1", "localhost", EINVAL}}) {
    auto other = loop.CreatePosixUdpEndpoint();
    EXPECT_EQ((std::pair{other->Bind(second, Bound(loop, first)->LocalPort()), other->IsBound()}),
              (std::pair{expected, expected == 0})) << first << " then " << second;
  }
  EXPECT_EQ(OpenFds(FD_CLOEXEC), open_before) << "a failed bind leaked its socket";
  auto sender = Bound(loop, "127.0.0.1");
  EXPECT_EQ(sender->Bind("127.0.0.1", 0), EINVAL) << "bound twice";
  EXPECT_EQ(fcntl(sender->NativeHandle(), F_GETFD), FD_CLOEXEC) << "a started program would inherit the socket";
  // Loopback broadcasts: every 16th delivery to a receiver on 0.0.0.0 (which throws on the first), the rest to
  // the sender's own port, where nobody reads.
  sender->SetRemote("127.255.255.255", 0);
  EXPECT_EQ(sender->SetBroadcast(true), 0);
  auto receiver = Bound(loop, "0.0.0.0");
  std::vector<std::string> got, want;
  receiver->SetArrivalHandler([&](const Datagram& d) {
    got.push_back(d.text);
    EXPECT_EQ(std::tuple(d.from_address, d.from_port, d.to_address),  // where it was sent, not the interface
              std::tuple("127.0.0.1", sender->LocalPort(), "127.255.255.255"));
    if (d.text == "0") throw std::runtime_error("bad datagram");
  });
  std::vector<std::string> texts(1100);
  for (std::size_t i = 0; i < texts.size(); ++i) texts[i] = i == 16 ? "" : std::to_string(i);
  for (std::size_t i = 0; i < 65507; ++i) texts[16] += static_cast<char>(i * 7);  // the largest datagram
  texts[32] = std::string("a\0b\0\0c", 6);
  texts[48] = "";
  texts[700] = std::string(65508, 'x');
  const std::map<std::size_t, std::int32_t> bad_ports{{300, -1}, {600, 0}, {1050, 0}};  // 0: the kernel refuses it
  std::vector<Delivery> batch;
  std::vector<int> results;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::int32_t port = i % 16 == 0 ? receiver->LocalPort() : sender->LocalPort();
    batch.push_back({texts[i], bad_ports.contains(i) ? bad_ports.at(i) : port});
    results.push_back(bad_ports.contains(i) ? EINVAL : i == 700 ? EMSGSIZE : 0);
    if (i % 16 == 0) want.push_back(texts[i]);
  }
  EXPECT_EQ(sender->SendToPorts(batch), results);
  EXPECT_TRUE(RunUntil(loop, [&] { return got == want; })) << "lost, cut or out of order";
  EXPECT_EQ(errors, std::vector<std::string>{"bad datagram"});
}

TEST(PosixProcessesTest, HiddenCopiesAreCountedByNameWhileAliveAndReapedOnceEnded) {
  PosixProcesses processes;
  const std::string name = "tsl" + std::to_string(getpid());
  const std::string path = "/tmp/" + name;
  fs::create_symlink(processes.OwnExecutablePath(), path);
  const std::int32_t first = processes.StartHidden(path).value_or(-1);
  const std::int32_t second = processes.StartHidden(path).value_or(-1);
  fs::remove(path);
  EXPECT_EQ(processes.CountByName(name), 2);
  EXPECT_TRUE(processes.IsAlive(first));
  EXPECT_EQ(Text(Proc(first, "environ")) + Text(Proc(first, "cmdline")), Text("/proc/self/environ") + path + '\0');
  EXPECT_EQ((std::vector{processes.IsCopyOfThisProgram(first), processes.IsCopyOfThisProgram(processes.OwnPid()),
                         processes.IsCopyOfThisProgram(getppid()), processes.IsCopyOfThisProgram(0)}),
            (std::vector{true, true, false, false}));
  EXPECT_TRUE(!processes.StartHidden("/nonexistent") && processes.AskToClose(first) && processes.Terminate(second));
  std::vector<int> ended_by;  // waits for each to end, leaving it unreaped
  for (siginfo_t info{}; const std::int32_t pid : {first, second}) {
    ended_by.push_back(waitid(P_PID, pid, &info, WEXITED | WNOWAIT) == 0 ? info.si_status : -1);
  }
  EXPECT_EQ(ended_by, (std::vector<int>{SIGTERM, SIGKILL}));
  EXPECT_EQ(processes.CountByName(name), 0) << "zombies were counted";
  EXPECT_FALSE(processes.IsAlive(first));
  EXPECT_EQ(processes.ReapChildren(), std::vector<std::int32_t>{second}) << "IsAlive reaps its child, this the rest";
  // kill(2) takes 0 as "my process group" and other pids below 1 as groups: checked in a child alone in its
  // own group.
  EXPECT_EXIT(setpgid(0, 0); _exit(processes.AskToClose(0) || processes.Terminate(0) || processes.IsAlive(0) ||
                                   processes.AskToClose(-getpid()) || processes.Terminate(-getpid())),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tessaly
