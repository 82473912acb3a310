// The status window as the core sees it: the start-up option boxes, the hub's
// identity, and the last message, the traffic counters and the client report
// that the relay writes while the window is open. Network text is shown as
// plain text, never as markup.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tessaly {

// The option boxes, in the order the window reads and writes them.
enum class StatusOption { aNoBackup, aNoTray, aXPL, axPLHub, aXPLtoXap, aXapToXpl };
inline constexpr int kStatusOptionCount = 6;

// Check box states.
inline constexpr int kBoxClear = 0;
inline constexpr int kBoxTicked = 1;
inline constexpr int kBoxGreyed = 2;

// The identity fields, set when the window opens.
struct StatusIdentity {
  std::string aMyPID;
  std::string aLANIP;
  std::string aPID;
  std::string aVersion;
};

class StatusView {
 public:
  virtual ~StatusView() = default;

  // Shows the window (not modal) and brings it to the front.
  virtual void Show() = 0;
  // Hides the window without telling the closed handler.
  virtual void Close() = 0;
  // Called when the user closes the window.
  virtual void SetClosedHandler(std::function<void()> handler) = 0;

  // A box state: 0 clear, 1 ticked, 2 greyed.
  virtual void SetOption(StatusOption box, int state) = 0;
  virtual int Option(StatusOption box) const = 0;
  virtual void SetIdentity(const StatusIdentity& identity) = 0;

  // `aMessage`: the last message handled, line breaks as "\r\n".
  virtual void SetMessageText(const std::string& text) = 0;
  // `aCount` element 0..3: received, forwarded, duplicates, xAP nodes.
  virtual void SetCount(int index, std::int32_t value) = 0;
  // `aConnections`: the client report.
  virtual void SetConnections(const std::string& report) = 0;
};

// The window of a hub without a display: it keeps the box states, so that
// opening and closing still read and write the options; the rest goes nowhere.
class NullStatusView : public StatusView {
 public:
  void Show() override {}
  void Close() override {}
  void SetClosedHandler(std::function<void()>) override {}
  void SetOption(StatusOption box, int state) override { boxes_[static_cast<int>(box)] = state; }
  int Option(StatusOption box) const override { return boxes_[static_cast<int>(box)]; }
  void SetIdentity(const StatusIdentity&) override {}
  void SetMessageText(const std::string&) override {}
  void SetCount(int, std::int32_t) override {}
  void SetConnections(const std::string&) override {}

 private:
  int boxes_[kStatusOptionCount] = {};
};

}  // namespace tessaly
