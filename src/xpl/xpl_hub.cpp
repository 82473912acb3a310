#include "xpl/xpl_hub.h"

namespace tessaly {

void XPL_Hub_Load(Globals&) {}

}  // namespace tessaly
