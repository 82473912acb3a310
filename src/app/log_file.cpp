#include "app/log_file.h"

#include <ctime>
#include <fstream>

#include "app/globals.h"
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

void WriteLogFile(Globals& g, const std::string& Source, const std::string& Text) {
  std::string error_text = "at Line " + Dec(g.Err.line) + " " + g.Err.description;
  g.Err.Clear();
  try {
    std::string line = GeneralDate(g.Sys.clock.Now()) + " | " + Source + " " + Text + " " + error_text + "\r\n";
    std::ofstream out(LogFilePath(g), std::ios::binary | std::ios::app);
    out << line;
  } catch (...) {
    // A log line that cannot be written is lost; the caller goes on.
  }
}

}  // namespace tessaly
