#include "xpl/xpl_hub.h"

#include "state/globals.h"

namespace tessaly {

XplHub::XplHub(Globals& g) : g_(g), tmrxPL_(g.Sys.loop.CreateTimer([] {})) {}

void XplHub::XPL_Hub_Load() {}

void XplHub::Close() { tmrxPL_->SetEnabled(false); }

}  // namespace tessaly
