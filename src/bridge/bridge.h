// The xAP/xPL bridge: rewrites relayed xAP messages for the local xPL
// applications, answers device status queries for the BSC devices it knows,
// and keeps that device list across restarts.
#pragma once

#include <string>

#include "bridge/bsc_devices.h"
#include "relay/relay.h"

namespace tessaly {

struct Globals;
class XapMessage;

class Bridge : public RelayListener {
 public:
  explicit Bridge(Globals& g) : g_(g) {}

  // Rewrites a relayed xAP message for the local xPL applications when the
  // options ask for it. Until the xPL side exists this does nothing.
  void BridgeToXPL(const std::string& text, XapMessage& message) override;

  // Answers a device status query addressed to one of BscDevices.
  void DeviceQuery(XapMessage& message) override;

  // The xPL clients' rows of the connection report; none yet.
  std::string ReportRows() override { return ""; }

  // Answers a device status query for `target`. Until the xPL side exists
  // this does nothing.
  void BSCQuery(const std::string& target);

  // Loads the device list from the options file at start-up, and saves it at
  // shutdown. Until the xPL side exists these do nothing.
  void GetSecurityDevices();
  void SaveSecurityDevices();

  BscDeviceList BscDevices;

 private:
  Globals& g_;
};

}  // namespace tessaly
