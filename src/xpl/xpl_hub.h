// The xPL hub on port 3865: relays xPL messages to the local xPL applications
// it registers from their heartbeats.
#pragma once

#include <memory>

#include "platform/timer.h"

namespace tessaly {

struct Globals;

class XplHub {
 public:
  explicit XplHub(Globals& g);

  // Opens the hub port and starts tmrxPL. Until the xPL side exists this
  // does nothing.
  void XPL_Hub_Load();

  // Stops the sweep and closes the hub port.
  void Close();

  Timer& tmrxPL() { return *tmrxPL_; }

 private:
  Globals& g_;
  std::unique_ptr<Timer> tmrxPL_;  // the xPL client sweep
};

}  // namespace tessaly
