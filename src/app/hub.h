// The hub program as a whole: start-up, the receiver of every queue entry,
// the client sweep, and shutdown.
#pragma once

#include <memory>

#include "platform/timer.h"
#include "transport/xap.h"

namespace tessaly {

struct Globals;

class Hub : public MessageReceiver {
 public:
  explicit Hub(Globals& g);
  ~Hub() override;

  // Starts the hub: identity, transport, first heartbeat, client sweep.
  void Load();
  // Shuts the hub down in order; the sockets are closed when it returns.
  void Unload();

  // Drains the transport's queue into the relay. Never runs inside itself.
  void onMessage() override;

  Timer& Timer2() { return *Timer2_; }

 private:
  Globals& g_;
  bool busy_ = false;
  std::unique_ptr<Timer> Timer2_;  // client sweep, every 60 s
};

}  // namespace tessaly
