// The xPL hub on port 3865.
#pragma once

namespace tessaly {

struct Globals;

// Opens the xPL hub. Until the xPL side exists this does nothing.
void XPL_Hub_Load(Globals& g);

}  // namespace tessaly
