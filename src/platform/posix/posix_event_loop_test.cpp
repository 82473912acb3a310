#include "platform/posix/posix_event_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/posix/posix_test_helpers.h"

namespace tessaly {
namespace {

using posix_test::RunFor;
using posix_test::RunUntil;
using posix_test::Stopwatch;
using posix_test::ThreadCpuMs;

void Start(Timer& timer, std::uint32_t interval) {
  timer.SetInterval(interval);
  timer.SetEnabled(true);
}

TEST(PosixEventLoopTest, OneShotFiresOnceAndPeriodicKeepsItsCadence) {
  PosixEventLoop loop;
  const Stopwatch watch;
  std::vector<std::int64_t> one_shot_times;
  int periodic_ticks = 0;
  std::unique_ptr<Timer> one_shot = loop.CreateTimer([&] {
    one_shot_times.push_back(watch.ElapsedMs());
    one_shot->SetEnabled(false);
  });
  auto periodic = loop.CreateTimer([&] { ++periodic_ticks; });
  Start(*one_shot, 30);
  Start(*periodic, 20);

  RunFor(loop, 210);

  ASSERT_EQ(one_shot_times.size(), 1u);
  EXPECT_GE(one_shot_times[0], 30) << "a timer must never fire early";
  EXPECT_LE(periodic_ticks, watch.ElapsedMs() / 20) << "ticked more often than every 20 ms";
  EXPECT_GE(periodic_ticks, 4);
}

TEST(PosixEventLoopTest, ReArmingAnEnabledTimerKeepsItsDeadline) {
  PosixEventLoop loop;
  const Stopwatch watch;
  std::int64_t fired_at = -1;
  auto target = loop.CreateTimer([&] { fired_at = watch.ElapsedMs(); });
  auto re_armer = loop.CreateTimer([&] { target->SetEnabled(true); });  // a stream of datagrams
  Start(*target, 80);
  Start(*re_armer, 10);

  RunUntil(loop, [&] { return fired_at >= 0; }, 300);

  EXPECT_GE(fired_at, 80);
  EXPECT_LT(fired_at, 250) << "the re-arms postponed the tick";
}

TEST(PosixEventLoopTest, SameIntervalKeepsTheDeadlineAnotherRestartsItAndZeroNeverFires) {
  PosixEventLoop loop;
  const Stopwatch watch;
  std::int64_t changed_at = -1, same_fired_at = -1, other_fired_at = -1;
  auto same = loop.CreateTimer([&] { if (same_fired_at < 0) same_fired_at = watch.ElapsedMs(); });
  auto other = loop.CreateTimer([&] { if (other_fired_at < 0) other_fired_at = watch.ElapsedMs(); });
  bool zero_fired = false;
  auto zero = loop.CreateTimer([&] { zero_fired = true; });
  std::unique_ptr<Timer> changer = loop.CreateTimer([&] {
    changed_at = watch.ElapsedMs();
    same->SetInterval(150);
    other->SetInterval(200);
    changer->SetEnabled(false);
  });
  Start(*same, 150);
  Start(*other, 150);
  Start(*changer, 75);
  zero->SetEnabled(true);

  RunUntil(loop, [&] { return same_fired_at >= 0 && other_fired_at >= 0; }, 800);

  ASSERT_GE(changed_at, 0);
  ASSERT_LT(changed_at, 150) << "the machine is too slow for this test";
  EXPECT_GE(same_fired_at, 150);
  EXPECT_LT(same_fired_at, changed_at + 150) << "setting the same interval restarted the timer";
  EXPECT_GE(other_fired_at, changed_at + 200) << "a new interval did not restart the timer";
  EXPECT_FALSE(zero_fired) << "a timer with interval 0 fired";
}

TEST(PosixEventLoopTest, DueTimersFireByDeadlineThenByArmOrder) {
  PosixEventLoop loop;
  std::string order;
  std::vector<std::unique_ptr<Timer>> timers;
  for (const auto& [name, interval] : {std::pair{'a', 30}, {'b', 10}, {'c', 20}, {'d', 10}}) {
    timers.push_back(loop.CreateTimer([&order, name = name] { order += name; }));
    Start(*timers.back(), interval);
  }
  usleep(50'000);  // all four are due before the loop looks

  loop.RunOnce(0);

  EXPECT_EQ(order, "bdca");
}

TEST(PosixEventLoopTest, DispatchSurvivesHandlersThatThrowOrDestroyTimers) {
  PosixEventLoop loop;
  std::vector<std::string> errors;
  loop.SetErrorSink([&](const std::string& e) { errors.push_back(e); });
  std::string order;
  std::unique_ptr<Timer> first, second, third, fourth;
  first = loop.CreateTimer([&] {
    order += '1';
    second.reset();               // due in this same turn
    third->SetEnabled(false);     // likewise
    first.reset();                // itself, while its handler runs
    throw std::runtime_error("boom");
  });
  second = loop.CreateTimer([&] { order += '2'; });
  third = loop.CreateTimer([&] { order += '3'; });
  fourth = loop.CreateTimer([&] {
    order += '4';
    fourth->SetEnabled(false);
    throw 42;
  });
  for (Timer* t : {first.get(), second.get(), third.get(), fourth.get()}) Start(*t, 5);
  usleep(20'000);

  loop.RunOnce(0);
  RunFor(loop, 30);

  EXPECT_EQ(order, "14");
  EXPECT_EQ(errors, (std::vector<std::string>{"boom", "unknown exception"}));
}

TEST(PosixEventLoopTest, NestedRunOnceServesOtherTimersButNeverReentersTheCaller) {
  PosixEventLoop loop;
  int outer_calls = 0, depth = 0, max_depth = 0, inner_ticks = 0;
  std::int64_t nested_cpu_ms = -1;
  auto outer = loop.CreateTimer([&] {
    max_depth = std::max(max_depth, ++depth);
    if (++outer_calls == 1) {
      const std::int64_t cpu_before = ThreadCpuMs();
      const Stopwatch watch;
      while (watch.ElapsedMs() < 150) loop.RunOnce(50);
      nested_cpu_ms = ThreadCpuMs() - cpu_before;
    }
    --depth;
  });
  auto inner = loop.CreateTimer([&] { ++inner_ticks; });
  Start(*outer, 10);
  Start(*inner, 10);

  RunUntil(loop, [&] { return outer_calls >= 2; }, 1000);

  EXPECT_EQ(max_depth, 1) << "a handler was entered again from its own nested wait";
  EXPECT_GE(inner_ticks, 5) << "other timers did not run during the nested wait";
  EXPECT_EQ(outer_calls, 2) << "the caller's timer did not resume after its handler returned";
  EXPECT_LT(nested_cpu_ms, 60) << "the nested wait spun on the caller's overdue timer";
}

TEST(PosixEventLoopTest, WaitsSleepAndQuitIsUsedUpByRun) {
  PosixEventLoop loop;
  loop.Quit();
  loop.Run();  // returns at once: the request came first

  int ticks = 0;
  auto ticker = loop.CreateTimer([&] {
    if (++ticks == 5) loop.Quit();
  });
  const std::int64_t cpu_before = ThreadCpuMs();
  const Stopwatch watch;
  loop.RunOnce(100);
  EXPECT_GE(watch.ElapsedMs(), 100) << "RunOnce returned before its wait with nothing to do";
  Start(*ticker, 30);
  loop.Run();

  EXPECT_EQ(ticks, 5) << "an earlier Quit ended a later Run";
  EXPECT_LT(ThreadCpuMs() - cpu_before, 80) << "the loop busy-waited";
}

TEST(PosixEventLoopTest, SignalCallbackRunsFromTheLoopNotFromTheHandler) {
  struct sigaction before {};
  sigaction(SIGUSR1, nullptr, &before);
  {
    PosixEventLoop loop;
    std::vector<int> seen;
    ASSERT_EQ(loop.WatchSignals({SIGUSR1, SIGUSR2}, [&](int s) { seen.push_back(s); }), 0);

    raise(SIGUSR1);
    raise(SIGUSR2);
    EXPECT_TRUE(seen.empty()) << "the callback ran inside the signal handler";
    EXPECT_TRUE(RunUntil(loop, [&] { return seen.size() == 2; }, 1000));
    EXPECT_EQ(seen, (std::vector<int>{SIGUSR1, SIGUSR2}));

    EXPECT_EQ(PosixEventLoop().WatchSignals({SIGUSR1}, [](int) {}), EBUSY);
    EXPECT_EQ(loop.WatchSignals({SIGKILL}, [](int) {}), EINVAL);
  }
  struct sigaction after {};
  sigaction(SIGUSR1, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler) << "the previous action was not restored";
  EXPECT_EQ(PosixEventLoop().WatchSignals({SIGUSR1}, [](int) {}), 0) << "signals were not given up";
}

}  // namespace
}  // namespace tessaly
