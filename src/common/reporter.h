// Where a module reports a failure that it has handled and gone on from.
//
// The program wires a reporter to one of its two loggers (the log file, or a
// log event sent as an xAP message); tests record the reports in memory.
#pragma once

#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace tessaly {

class Reporter {
 public:
  virtual ~Reporter() = default;

  // `source` and `text` are the logger's two texts (for the log file: the
  // line's source and text; for a log event: its Type and Data); `error` is
  // the description of the failure, "" when there is none.
  virtual void Report(const std::string& source, const std::string& text, const std::string& error) = 0;
};

// The description of the exception being handled (call inside a catch block).
inline std::string CurrentExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

// Keeps every report, for tests and for callers that decide later.
class RecordingReporter : public Reporter {
 public:
  struct Entry {
    std::string source;
    std::string text;
    std::string error;
  };
  void Report(const std::string& source, const std::string& text, const std::string& error) override {
    entries.push_back({source, text, error});
  }
  std::vector<Entry> entries;
};

// Drops every report.
class SilentReporter : public Reporter {
 public:
  void Report(const std::string&, const std::string&, const std::string&) override {}
};

}  // namespace tessaly
