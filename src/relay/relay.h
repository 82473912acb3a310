// The relay: every queue entry the transport hands on ends here.
//
// Readmessage registers local clients from their heartbeats (a heartbeat whose
// sender is this computer's LocalAddress), relays the text to every
// registered client except the one whose key is the message's source key,
// answers the queries addressed to the hub, hands the message on to the
// bridge, and keeps the traffic counters. Clients are dropped by
// CheckStaleConnections once their silence exceeds twice their announced
// interval.
//
// Relaying is batched: Readmessage only lines the deliveries up, in the order
// of arrival, and FlushDeliveries sends everything lined up with as few
// system calls as the system allows, so a burst that one receive tick drains
// costs a handful of calls. Each client still gets the messages in the order
// they came.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "platform/udp_endpoint.h"
#include "relay/router.h"
#include "state/event_log.h"

namespace tessaly {

struct Globals;
class XapMessage;
class xap;

// What the layers above the relay do with the messages it handles.
class RelayListener {
 public:
  virtual ~RelayListener() = default;
  // Every relayed message, for the xAP-to-xPL bridge.
  virtual void BridgeToXPL(std::string_view text, XapMessage& message) = 0;
  // A device status query ("xAPBSC.query"), for the devices the bridge knows.
  virtual void DeviceQuery(XapMessage& message) = 0;
  // Rows the connection report shows after the xAP clients (each row begins
  // with "\r\n").
  virtual std::string ReportRows() = 0;
};

class XapRelay {
 public:
  XapRelay(Globals& g, xap& link) : g_(g), link_(link), log_(g) {}

  void SetListener(RelayListener* listener) { listener_ = listener; }

  // Handles one queue entry: the sender's address in kSenderWidth characters,
  // then the text. Its deliveries wait for FlushDeliveries.
  void Readmessage(std::string entry);

  // Sends every delivery lined up since the last flush; a failed delivery is
  // logged as "Readmessage" with the port and the error.
  void FlushDeliveries();

  // The hub's own answers: device query, echo, role. At most one applies.
  void HubServices(XapMessage& message);

  // Removes every expired client, then rebuilds the connection report.
  void CheckStaleConnections();

  // The client report text (each row begins with "\r\n").
  std::string ConnectionReportText();
  // Writes the report into the status window while it is open.
  void ConnectionReport();

  RouterCollection Routers;

 private:
  bool Register(std::string_view text, const std::string& key);
  void Relay(std::string_view text, const std::string& key);
  void ShowCounters();

  // Past this many lined-up deliveries a flush happens at once, so a long
  // burst never holds much memory.
  static constexpr std::size_t kMaxPending = 4096;

  Globals& g_;
  xap& link_;
  LogFileReporter log_;
  RelayListener* listener_ = nullptr;
  std::deque<std::string> held_;     // entries whose texts pending_ points into
  std::vector<Delivery> pending_;
};

}  // namespace tessaly
