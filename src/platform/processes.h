// Processes: this one, copies of the hub, the partner it started.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessaly {

class Processes {
 public:
  virtual ~Processes() = default;

  virtual std::int32_t OwnPid() = 0;

  // Full path of the running executable.
  virtual std::string OwnExecutablePath() = 0;

  // Number of running processes whose name equals `name` (the system keeps
  // at most 15 characters of a name). Nothing when the list cannot be read.
  virtual std::optional<std::int32_t> CountByName(const std::string& name) = 0;

  // Starts `path` without arguments, detached, with no terminal and no
  // standard streams. Returns its pid, or nothing on failure.
  virtual std::optional<std::int32_t> StartHidden(const std::string& path) = 0;

  // True while the process runs (an exited child is reaped, never alive).
  virtual bool IsAlive(std::int32_t pid) = 0;

  // True when the process runs this program's executable.
  virtual bool IsCopyOfThisProgram(std::int32_t pid) = 0;

  // Asks the process to close (as the window system would). False on failure.
  virtual bool AskToClose(std::int32_t pid) = 0;

  // Ends the process at once. False on failure.
  virtual bool Terminate(std::int32_t pid) = 0;
};

}  // namespace tessaly
