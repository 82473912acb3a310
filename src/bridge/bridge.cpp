#include "bridge/bridge.h"

#include "message/xap_message.h"

namespace tessaly {

void Bridge::BridgeToXPL(const std::string&, XapMessage&) {}

void Bridge::DeviceQuery(XapMessage& message) {
  for (auto& [key, device] : BscDevices) {
    if (message.CompareTarget("xpl." + device.Source)) {
      BSCQuery(message.msgTarget);
      return;
    }
  }
}

void Bridge::BSCQuery(const std::string&) {}

void Bridge::GetSecurityDevices() {}

void Bridge::SaveSecurityDevices() {}

}  // namespace tessaly
