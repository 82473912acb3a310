#include "bridge/bridge.h"

namespace tessaly {

void BridgeToXPL(Globals&, const std::string&, XapMessage&) {}

void BSCQuery(Globals&, const std::string&) {}

}  // namespace tessaly

namespace tessaly {

void GetSecurityDevices(Globals&) {}

void SaveSecurityDevices(Globals&) {}

}  // namespace tessaly
