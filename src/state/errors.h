// The failure an error handler is dealing with, and the one way to log it.
#pragma once

#include <cstdint>
#include <string>

namespace tessaly {

struct Globals;

// Consumed by the loggers, which append it to their line and clear it.
struct PendingError {
  std::int32_t line = 0;
  std::string description;

  void Set(std::int32_t at_line, std::string text) {
    line = at_line;
    description = std::move(text);
  }
  // Records the exception being handled (call inside a catch block).
  void SetFromCurrentException();
  void Clear() { *this = PendingError{}; }
  bool Pending() const { return line != 0 || !description.empty(); }
};

// Inside a catch block: writes the exception being handled to the log file
// as ("Tessaly", `where`).
void LogCurrentException(Globals& g, const std::string& where);

// Runs one step of a procedure whose failures are passed over: an exception
// is dropped, with the pending error it may have left, and the caller goes on
// with its next step.
template <typename Step>
void PassOverFailure(PendingError& err, Step&& step) {
  try {
    step();
  } catch (...) {
    err.Clear();
  }
}

}  // namespace tessaly
