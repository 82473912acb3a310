// The hub program as a whole: start-up from the options file, the receiver of
// every queue entry, the client sweep, and the two ways to stop. It owns the
// subsystems and wires them together.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bridge/bridge.h"
#include "platform/timer.h"
#include "relay/relay.h"
#include "settings/vantrel.h"
#include "shell/status_window.h"
#include "state/event_log.h"
#include "transport/xap.h"
#include "xpl/xpl_hub.h"

namespace tessaly {

struct Globals;

// Reads an option as the number at the start of its text: true when not 0.
bool OptionOn(const std::string& value);

// The instance check: whether a copy that sees `count` running processes of
// the hub (itself included) may go on.
bool InstanceMayRun(std::int32_t count, bool backup_wanted);

class Hub : public MessageReceiver {
 public:
  explicit Hub(Globals& g);
  ~Hub() override;

  // Starts the hub. When the instance check ends it, Ended() is true and the
  // shutdown has run.
  void Load();
  bool Ended() const { return ended_; }

  // The shutdown: tray icon removed, device list saved, transport closed.
  // The partner process is left running so that a backup takes over. Runs
  // once; further calls do nothing.
  void Unload();

  // "Exit": status window, tray icon and transport closed, the partner
  // process stopped (politely, then by force), then the shutdown.
  void Exit();

  // A click on the tray icon: the button releases (514, 517) open the menu.
  void TrayIconCallback(int msg);
  // The menu's items: 0 "View Traffic" opens the status window, 5 "Exit"
  // ends the hub with its partner and stops the loop; the others do nothing.
  void AWSArray_Click(int Index);

  // A child process has ended and been reaped: if it was the partner, the
  // partner is forgotten, so its pid can never be signalled again.
  void ChildEnded(std::int32_t pid);

  // Drains the transport's queue into the relay and sends what it lined up.
  // Never runs inside itself.
  void onMessage() override;

  xap* XapLink() { return XapLink_.get(); }
  XapRelay* Relay() { return relay_.get(); }
  XplHub& Xpl() { return xpl_; }
  Bridge& XapXplBridge() { return bridge_; }
  Timer& Timer2() { return *Timer2_; }

 private:
  void LoadOptions();
  void CloseTransport();

  Globals& g_;
  EventReporter events_;
  bool busy_ = false;
  bool ended_ = false;
  bool unloaded_ = false;
  std::unique_ptr<xap> XapLink_;
  std::unique_ptr<XapRelay> relay_;
  XplHub xpl_;
  Bridge bridge_;
  std::unique_ptr<Vantrel> vantrel_;
  SimpleTest StatusWindow_;
  std::unique_ptr<Timer> Timer2_;  // client sweep, every 60 s
};

}  // namespace tessaly
