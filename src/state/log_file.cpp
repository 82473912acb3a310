#include "state/log_file.h"

#include <ctime>
#include <fstream>

#include "state/globals.h"
#include "common/text.h"

namespace tessaly {

std::string LogFilePath(const Globals& g) {
  return g.AppPath + "/Data/Tessaly" + Dec(g.MyPid) + ".txt";
}

std::string GeneralDate(std::int64_t epoch_seconds) {
  std::time_t t = static_cast<std::time_t>(epoch_seconds);
  std::tm parts{};
  if (std::tm* local = std::localtime(&t)) parts = *local;
  char text[32];
  if (std::strftime(text, sizeof text, "%d/%m/%Y %H:%M:%S", &parts) == 0) return "";
  return text;
}

namespace {

// True when the line may be written; `note` gets the line that tells of lines
// left out in the minute before, if any.
bool TakeFromBudget(Globals& g, std::string& note) {
  LogBudget& budget = g.LogLines;
  const std::uint32_t now = g.Sys.clock.TickCount();
  if (now - budget.window_start >= 60000u) {
    if (budget.dropped > 0) note = "Tessaly " + Dec(budget.dropped) + " log lines left out in the minute before";
    budget = LogBudget{now, 0, 0};
  }
  if (budget.written >= kLogLinesPerMinute) {
    ++budget.dropped;
    return false;
  }
  ++budget.written;
  return true;
}

}  // namespace

void WriteLogFile(Globals& g, const std::string& Source, const std::string& Text) {
  std::string error_text = "at Line " + Dec(g.Err.line) + " " + g.Err.description;
  g.Err.Clear();
  try {
    std::string note;
    if (!TakeFromBudget(g, note)) return;
    const std::string date = GeneralDate(g.Sys.clock.Now());
    std::string lines;
    if (!note.empty()) lines = date + " | " + note + " at Line 0 \r\n";
    lines += date + " | " + Source + " " + Text + " " + error_text + "\r\n";
    std::ofstream out(LogFilePath(g), std::ios::binary | std::ios::app);
    out << lines;
    if (g.LogMirror) g.LogMirror(lines);
  } catch (...) {
    // A log line that cannot be written is lost; the caller goes on.
  }
}

}  // namespace tessaly
