// The hub program as a whole: start-up from the options file, the receiver of
// every queue entry, the client sweep, and the two ways to stop.
#pragma once

#include <memory>
#include <string>

#include "platform/timer.h"
#include "transport/xap.h"

namespace tessaly {

struct Globals;
class Vantrel;

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

  // Drains the transport's queue into the relay. Never runs inside itself.
  void onMessage() override;

  Timer& Timer2() { return *Timer2_; }
  Timer& tmrxPL() { return *tmrxPL_; }
  Vantrel* Settings() { return vantrel_.get(); }

 private:
  void LoadOptions();

  Globals& g_;
  bool busy_ = false;
  bool ended_ = false;
  bool unloaded_ = false;
  std::unique_ptr<Timer> Timer2_;  // client sweep, every 60 s
  std::unique_ptr<Timer> tmrxPL_;  // xPL client sweep
  std::unique_ptr<Vantrel> vantrel_;
};

}  // namespace tessaly
