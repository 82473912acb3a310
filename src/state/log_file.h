// The per-process log file: AppPath/Data/Tessaly<pid>.txt, one line per call.
#pragma once

#include <cstdint>
#include <string>

namespace tessaly {

struct Globals;

// Appends "<date time> | <Source> <Text> at Line <n> <description>" and a
// "\r\n", taking the pending error and clearing it; the same line goes to
// g.LogMirror when it is set. Opens and closes the
// file for every line; a line that cannot be written is lost silently.
// Junk from the network must not fill the disk: past kLogLinesPerMinute lines
// in a minute the rest are only counted, and the first line of the next
// minute says how many were left out.
constexpr std::int32_t kLogLinesPerMinute = 600;
void WriteLogFile(Globals& g, const std::string& Source, const std::string& Text);

// The log file's path for this process.
std::string LogFilePath(const Globals& g);

// Local date and time as the logs write it: "dd/mm/yyyy hh:mm:ss".
std::string GeneralDate(std::int64_t epoch_seconds);

}  // namespace tessaly
