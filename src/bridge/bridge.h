// The xAP/xPL bridge.
//
// xAP to xPL (BridgeToXPL): every relayed xAP message but a heartbeat becomes
// one xPL message for the local xPL applications, delivered by the xPL hub
// only to them: the first body section becomes the xPL body, BSC commands to
// a Z-Wave sub-address become "zwave.basic" commands, X10 requests
// "x10.basic".
//
// xPL to xAP (BridgeToXAP): every valid xPL message becomes an xAP message of
// the same schema (XplToXap), and "x10.basic", "zwave.basic" and
// "remote.basic" become xAP X10 messages and events of BSC devices (XplBsc).
// Each device has a sub-address and a uid of its own; the device list is kept
// in the options file, section [XPL_BSC], so a device keeps its uid across
// restarts, and answers BSC status queries.
#pragma once

#include <string>

#include "bridge/bsc_devices.h"
#include "relay/relay.h"
#include "settings/vantrel.h"
#include "state/event_log.h"
#include "xpl/xpl_hub.h"

namespace tessaly {

struct Globals;
class XapMessage;
struct xplMessage;

class Bridge : public RelayListener, public XplListener {
 public:
  // Delivers through `xpl`'s SendXPL and reads its parse; sends xAP through
  // g.XapLink.
  Bridge(Globals& g, XplHub& xpl);

  // Rewrites a relayed xAP message for the local xPL applications while
  // XapToXpl is on. A step that fails is logged as "BridgeToXPL" and the
  // message goes with what could be gathered.
  void BridgeToXPL(std::string_view text, XapMessage& message) override;

  // A device status query: answered (BSCQuery) when its target matches
  // "xpl." and the source of one of BscDevices, either as a whole or in its
  // address before the first ":" (a query to a device's own sub-address).
  void DeviceQuery(XapMessage& message) override;

  // The xPL hub's rows of the connection report.
  std::string ReportRows() override { return xpl_.ReportRows(); }

  // Rewrites an xPL message as xAP while XplToXap or XplBsc is on. Messages
  // without a valid record are skipped. A step that fails is logged as
  // "BridgeToXAP" and the next one runs.
  void BridgeToXAP(const std::string& text) override;

  // Sends one "xAPBSC.info" for every device whose sub-address matches the
  // part of `target` after its first ":"; nothing without a ":".
  void BSCQuery(const std::string& target);

  // Loads BscDevices from the section XPL_BSC of Velmar.ini; malformed
  // entries and entries of a device already loaded are skipped. A failure is
  // logged as "GetSecurityDevices"; an index beyond 16 bits skips its entry
  // only.
  void GetSecurityDevices(Vantrel& settings);
  // Writes every device there as KEY=Source,Index,SerialNumber. A failure
  // is logged as "SaveSecurityDevices" and ends the save.
  void SaveSecurityDevices(Vantrel& settings);

  BscDeviceList BscDevices;

 private:
  void TranslateX10(const std::string& text, const xplMessage& r, const std::string& target);
  void TranslateZwave(const xplMessage& r, const std::string& target);
  void TranslateRemote(const xplMessage& r, const std::string& target);
  // The device under `key`, made when new with the next index; nullptr when
  // `key` cannot be a device.
  SecuritySensor* DeviceFor(const std::string& key, const std::string& serial, const std::string& source);
  void SendDeviceEvent(const std::string& target, const std::string& body, const std::string& source,
                       const std::string& serial, const SecuritySensor& device);
  std::string UidOf(const SecuritySensor& device);
  void LoadDevice(const std::string& entry);

  Globals& g_;
  XplHub& xpl_;
  EventReporter events_;
};

}  // namespace tessaly
