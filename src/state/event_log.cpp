#include "state/event_log.h"

#include "common/text.h"
#include "state/globals.h"
#include "state/log_file.h"
#include "state/out_queue.h"

namespace tessaly {

void LogXapEvent(Globals& g, const std::string& Type, const std::string& Data) {
  std::string data = Data;
  if (g.Err.Pending()) {
    data += " Line " + Dec(g.Err.line) + " " + g.Err.description;
    g.Err.Clear();
  }
  SendXap(g, "", "Vantrel.Event", "Event.Log",
          PackBody({{"Time", GeneralDate(g.Sys.clock.Now())}, {"Type", Type}, {"Data", data}}));
}

void EventReporter::Report(const std::string& source, const std::string& text, const std::string& error) {
  if (!error.empty()) g_.Err.Set(0, error);
  LogXapEvent(g_, source, text);
}

void LogFileReporter::Report(const std::string& source, const std::string& text, const std::string& error) {
  if (!error.empty()) g_.Err.Set(0, error);
  WriteLogFile(g_, source, text);
}

}  // namespace tessaly
