// The second of the program's two loggers: a log event sent as an xAP
// message, and reporters that hand a module's failures to either logger.
#pragma once

#include <string>

#include "common/reporter.h"

namespace tessaly {

struct Globals;

// Sends a log event: class "Vantrel.Event", section "Event.Log", items Time,
// Type and Data through the program-wide SendXap (queued until HubStarted).
// A pending error is appended to Data as " Line <n> <description>" and
// cleared.
void LogXapEvent(Globals& g, const std::string& Type, const std::string& Data);

// Reports as log events: Report(type, data, error).
class EventReporter : public Reporter {
 public:
  explicit EventReporter(Globals& g) : g_(g) {}
  void Report(const std::string& source, const std::string& text, const std::string& error) override;

 private:
  Globals& g_;
};

// Reports as log file lines: Report(source, text, error).
class LogFileReporter : public Reporter {
 public:
  explicit LogFileReporter(Globals& g) : g_(g) {}
  void Report(const std::string& source, const std::string& text, const std::string& error) override;

 private:
  Globals& g_;
};

}  // namespace tessaly
