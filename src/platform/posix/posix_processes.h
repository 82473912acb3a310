// Processes through /proc, posix_spawn and signals.
//
// A process started here stays our child, so it must be reaped once it ends,
// or it lingers as a zombie that still holds its pid. IsAlive reaps the pid it
// is asked about; the program calls ReapChildren when SIGCHLD arrives.
#pragma once

#include <vector>

#include "platform/processes.h"

namespace tessaly {

class PosixProcesses : public Processes {
 public:
  std::int32_t OwnPid() override;
  // readlink("/proc/self/exe"); "" when it cannot be read.
  std::string OwnExecutablePath() override;
  // Processes whose /proc/<pid>/comm equals the first 15 bytes of `name`;
  // zombies are not counted.
  std::optional<std::int32_t> CountByName(const std::string& name) override;
  // posix_spawn in a new session, argv {path}, standard streams on /dev/null,
  // default signal actions and an empty signal mask, our environment.
  std::optional<std::int32_t> StartHidden(const std::string& path) override;
  // False for pids <= 0, for processes that are gone and for zombies.
  bool IsAlive(std::int32_t pid) override;
  // SIGTERM / SIGKILL. False for pids <= 0, which kill(2) would take as a
  // whole process group or every process.
  bool AskToClose(std::int32_t pid) override;
  bool Terminate(std::int32_t pid) override;

  // The executables behind /proc/self/exe and /proc/<pid>/exe are the same
  // file path; without the right to read the other's, their names are equal.
  bool IsCopyOfThisProgram(std::int32_t pid) override;

  // Reaps every child that has exited; returns their pids.
  std::vector<std::int32_t> ReapChildren();
};

}  // namespace tessaly
