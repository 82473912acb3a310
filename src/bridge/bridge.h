// The xAP/xPL bridge as the relay sees it.
#pragma once

#include <string>

namespace tessaly {

struct Globals;
class XapMessage;

// Rewrites a relayed xAP message for the local xPL applications when the
// options ask for it. Until the xPL side exists this does nothing.
void BridgeToXPL(Globals& g, const std::string& text, XapMessage& message);

// Answers a device status query for `target`. Until the xPL side exists this
// does nothing.
void BSCQuery(Globals& g, const std::string& target);

}  // namespace tessaly

namespace tessaly {

// Loads the BSC device list from the options file at start-up, and saves it
// at shutdown. Until the xPL side exists these do nothing.
void GetSecurityDevices(Globals& g);
void SaveSecurityDevices(Globals& g);

}  // namespace tessaly
