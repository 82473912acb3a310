// The status window as the core writes to it: the last message, the traffic
// counters and the client report. Network text is shown as plain text.
#pragma once

#include <cstdint>
#include <string>

namespace tessaly {

class StatusView {
 public:
  virtual ~StatusView() = default;

  // `aMessage`: the last message handled, line breaks as "\r\n".
  virtual void SetMessageText(const std::string& text) = 0;
  // `aCount` element 0..3: received, forwarded, duplicates, xAP nodes.
  virtual void SetCount(int index, std::int32_t value) = 0;
  // `aConnections`: the client report.
  virtual void SetConnections(const std::string& report) = 0;
  // Closes the window if it is open.
  virtual void Close() = 0;
};

// The window of a hub without a display: writes go nowhere.
class NullStatusView : public StatusView {
 public:
  void SetMessageText(const std::string&) override {}
  void SetCount(int, std::int32_t) override {}
  void SetConnections(const std::string&) override {}
  void Close() override {}
};

}  // namespace tessaly
