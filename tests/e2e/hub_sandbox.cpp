#include "e2e/hub_sandbox.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace tessaly::e2e {
namespace {

// PID 1 of the hub's PID namespace: sets the host name, reports that it is
// ready, then only reaps. Each `wait` collects whichever child has ended,
// adopted orphans too, so a dead hub never lingers as a zombie named Tessaly.
constexpr char kInitScript[] =
    "hostname \"$1\" && : > \"$2\" || exit 1\n"
    "while :; do sleep 1 & wait $!; done\n";

// The hub moves its AppPath away when its folder has a "vb" component.
bool HasVbComponent(const std::filesystem::path& path) {
  for (const auto& part : path) {
    std::string name = part.string();
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (name == "vb") return true;
  }
  return false;
}

std::filesystem::path MakeTempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tessaly-e2e-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern + " failed");
  if (HasVbComponent(pattern)) {
    std::filesystem::remove_all(pattern);
    throw std::runtime_error("temporary folder " + pattern + " has a \"vb\" component; set TMPDIR elsewhere");
  }
  return pattern;
}

// The hub gets a plain environment: no display (so it runs headless) and a HOME
// inside the sandbox.
std::vector<std::string> HubEnvironment(const std::filesystem::path& home) {
  std::vector<std::string> env = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                                  "HOME=" + home.string()};
  if (const char* tz = getenv("TZ")) env.push_back(std::string("TZ=") + tz);
  return env;
}

void PrintFile(const std::string& title, const std::filesystem::path& path) {
  std::string text = ReadWholeFile(path);
  constexpr size_t kLimit = 6000;
  if (text.size() > kLimit) text = "..." + text.substr(text.size() - kLimit);
  std::fprintf(stderr, "----- %s (%s)\n%s\n", title.c_str(), path.c_str(), text.c_str());
}

}  // namespace

HubSandbox::HubSandbox(const NetNamespace& ns) : root_(MakeTempFolder()), app_path_(root_ / "app") {
  try {
    std::filesystem::create_directories(app_path_);
    executable_ = app_path_ / "Tessaly";
    std::filesystem::copy_file(TESSALY_EXE, executable_);
    std::filesystem::permissions(executable_, std::filesystem::perms(0755));
    environment_ = HubEnvironment(root_);

    // Should the test program die, setpriv's death signal ends unshare and
    // --kill-child then ends PID 1, which takes every hub with it.
    const std::filesystem::path ready = root_ / "init.ready";
    init_launcher_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"setpriv", "--pdeathsig", "KILL", "ip", "netns", "exec", ns.name(), "unshare",
                                 "--pid", "--fork", "--kill-child", "--mount-proc", "--uts", "sh", "-c", kInitScript,
                                 "sh", kHubHostName, ready.string()},
        root_ / "init.out");
    bool up = WaitUntil([&] { return std::filesystem::exists(ready) || init_launcher_->HasExited(); }, 10s);
    std::vector<pid_t> children = ChildrenOf(init_launcher_->pid());
    if (!up || !std::filesystem::exists(ready) || children.size() != 1) {
      throw std::runtime_error("PID namespace did not come up: " + ReadWholeFile(root_ / "init.out"));
    }
    init_pid_ = children.front();
    pid_namespace_ = NamespaceId(init_pid_, "pid");
    if (pid_namespace_.empty() || pid_namespace_ == NamespaceId(getpid(), "pid")) {
      throw std::runtime_error("PID 1 of the hub's namespace not found");
    }
  } catch (...) {
    init_launcher_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
    throw;
  }
}

HubSandbox::~HubSandbox() {
  if (::testing::Test::HasFailure()) PrintDiagnostics();
  for (pid_t pid : RunningHubs()) kill(pid, SIGKILL);
  SignalIfRunning(init_pid_, pid_namespace_, SIGKILL);
  copies_.clear();
  init_launcher_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

void HubSandbox::WriteAppFile(const std::filesystem::path& relative, const std::string& contents) const {
  std::filesystem::path path = app_path_ / relative;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> HubSandbox::InMountNamespace(std::vector<std::string> command) const {
  std::vector<std::string> argv = {"nsenter", "--target", std::to_string(init_pid_), "--mount", "--"};
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

void HubSandbox::MountReadOnly(const std::filesystem::path& relative) const {
  const std::filesystem::path folder = (app_path_ / relative).lexically_normal();
  std::filesystem::create_directories(folder);
  MustRun(InMountNamespace({"mount", "--bind", folder.string(), folder.string()}));
  MustRun(InMountNamespace({"mount", "-o", "remount,bind,ro", folder.string(), folder.string()}));
  const std::string probe = (folder / ".write-probe").string();
  if (RunCommand(InMountNamespace({"touch", probe})).Succeeded()) {
    std::filesystem::remove(probe);
    throw std::runtime_error(folder.string() + " is still writable inside the sandbox");
  }
}

const HubCopy& HubSandbox::StartCopy() {
  const std::filesystem::path output = root_ / ("copy-" + std::to_string(copies_.size() + 1) + ".out");
  copies_.push_back(std::make_unique<HubCopy>(
      std::vector<std::string>{"nsenter", "--target", std::to_string(init_pid_), "--pid", "--net", "--uts",
                               "--mount", "--wd=/", "--", executable_.string()},
      output, environment_));
  HubCopy& copy = *copies_.back();
  // nsenter forks the child that becomes the hub; it shows the name Tessaly once
  // the executable runs.
  WaitUntil(
      [&] {
        for (pid_t child : ChildrenOf(copy.launcher_.pid())) {
          if (ProcessName(child) == "Tessaly") copy.pid_ = child;
        }
        return copy.pid_ != 0 || copy.launcher_.HasExited();
      },
      10s, 5ms);
  if (copy.pid_ != 0) copy.ns_pid_ = InnermostPid(copy.pid_).value_or(0);
  return copy;
}

std::vector<pid_t> HubSandbox::RunningHubs() const {
  if (pid_namespace_.empty()) return {};
  return ProcessesNamed("Tessaly", pid_namespace_);
}

bool HubSandbox::Signal(const HubCopy& copy, int signal) const {
  return SignalIfRunning(copy.pid_, pid_namespace_, signal);
}

std::optional<int> HubSandbox::WaitForExit(const HubCopy& copy, milliseconds timeout) {
  for (auto& own : copies_) {
    if (own.get() == &copy) return own->launcher_.WaitForExit(timeout);
  }
  throw std::logic_error("not a copy of this sandbox");
}

std::string HubSandbox::LogOf(pid_t ns_pid) const {
  if (ns_pid <= 0) return "";
  return ReadWholeFile(app_path_ / "Data" / ("Tessaly" + std::to_string(ns_pid) + ".txt"));
}

void HubSandbox::PrintDiagnostics() const {
  PrintFile("PID 1 output", root_ / "init.out");
  for (size_t i = 0; i < copies_.size(); ++i) {
    const HubCopy& copy = *copies_[i];
    std::string title = "copy " + std::to_string(i + 1) + ", pid " + std::to_string(copy.pid_) + " (" +
                        std::to_string(copy.ns_pid_) + " inside)";
    PrintFile(title + " output", copy.output_);
  }
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(app_path_ / "Data", error)) {
    PrintFile("log file", entry.path());
  }
}

}  // namespace tessaly::e2e
