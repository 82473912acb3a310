// The xPL hub: owns UDP port 3865 and relays every xPL message to the xPL
// applications of this computer.
//
// udpHub is one socket on 0.0.0.0:3865 (broadcasts reach only a wildcard
// bind) that never shares its port. Each datagram that parses as xPL goes to
// XPL_BroadcastMessage: a heartbeat or configuration message of an
// application on this computer registers or refreshes its entry in
// XplClients; then, unless its hop count has reached 10, the text goes
// unchanged to every entry, the sender's own included, in one batched send;
// then to the listener (the xPL-to-xAP bridge). tmrxPL frees lapsed entries
// every 20 s. Nothing is deferred: a message is relayed as it arrives.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/reporter.h"
#include "platform/timer.h"
#include "platform/udp_endpoint.h"
#include "state/event_log.h"
#include "xpl/xpl_message.h"

namespace tessaly {

struct Globals;

// Told about every message the xPL hub accepts and does not drop for its
// hop count, whether or not the hub relays.
class XplListener {
 public:
  virtual ~XplListener() = default;
  virtual void BridgeToXAP(const std::string& text) = 0;
};

// One local xPL application; the entry is free while Port is 0.
struct XplClient {
  std::int32_t Port = 0;
  std::int64_t Expires = 0;     // wall-clock seconds; the entry lapses after it
  std::int16_t Interval = 0;    // heartbeat interval in minutes, at least 1
  bool Active = false;
  std::string Source;           // header "source", trimmed
  std::int32_t Heartbeats = 0;  // 0 when made, plus 1 at each refresh
};

class XplHub {
 public:
  static constexpr std::int32_t kXplPort = 3865;
  static constexpr std::int16_t kMaxClients = 64;  // entries 1 to 64; 0 is never used
  static constexpr std::uint32_t kSweepMs = 20000;
  static constexpr double kHopLimit = 10;

  // Failures are reported to `report` as ("Tessaly", procedure name,
  // description); the parse reports to the log file.
  XplHub(Globals& g, Reporter& report);
  XplHub(const XplHub&) = delete;
  XplHub& operator=(const XplHub&) = delete;

  void SetListener(XplListener* listener) { listener_ = listener; }

  // Opens udpHub on 0.0.0.0:3865 with broadcasts allowed, sends the datagram
  // "XPL" to `remote_host`:3865 and starts tmrxPL. `xap_client_port` is the
  // xAP side's own client port: like the xAP hub port and port 3865 it is
  // never registered as a client, since what the hub sent there would come
  // back to it without end. A failing step is reported as "XPL_Hub_Load"
  // and the next one runs; a backup hub, whose primary holds the port, says
  // nothing.
  void XPL_Hub_Load(const std::string& remote_host, std::int32_t xap_client_port);

  // One datagram of udpHub: shown while the status window is open, then
  // handled when it parses as xPL; anything else is dropped silently.
  void XPL_DataArrival(const Datagram& d);

  // Registration, hop limit, relay and bridge of one text that has just
  // parsed, sent from `sender` (a dotted address). Relaying and registration
  // happen only while the option XplHub is on.
  void XPL_BroadcastMessage(const std::string& text, const std::string& sender);

  // Sends `text` to LocalAddress at the port of every entry in use, in
  // index order, then frees entry `LocalPortID` (-1: none). A failed send is
  // reported as "XPL_BroadcastMessage" and the others still go.
  void SendXPL(std::string_view text, std::int16_t LocalPortID);

  // Opens udpHub if it is not open yet and the port is free (a backup's
  // primary has gone, say), then frees every entry whose Expires has passed.
  void tmrxPL_Timer();

  // The rows of the entries in use for the connection report: "\r\n", the
  // heartbeat count right-aligned in 10, 4 spaces, the port, 4 spaces, the
  // source.
  std::string ReportRows() const;

  // Stops the sweep and closes udpHub.
  void Close();

  XplParser& Parser() { return parser_; }
  Timer& tmrxPL() { return *tmrxPL_; }
  UdpEndpoint& udpHub() { return *udpHub_; }

  std::array<XplClient, kMaxClients + 1> XplClients;
  std::string XplRemoteHost;
  std::int32_t XplPort = 0;

 private:
  // Registers or refreshes the sender of a local heartbeat or configuration
  // message; the entry to free after the relay, or -1.
  std::int16_t Register(const std::string& text, const std::string& sender);
  bool ClientPortAllowed(std::int32_t port) const;
  // Whether the text's hop count lets it be relayed.
  static bool WithinHopLimit(std::string_view text);
  void ReportFailure(const char* where);

  Globals& g_;
  Reporter& report_;
  LogFileReporter parse_log_;
  XplParser parser_;
  XplListener* listener_ = nullptr;
  std::int32_t xap_client_port_ = 0;
  std::unique_ptr<UdpEndpoint> udpHub_;
  std::unique_ptr<Timer> tmrxPL_;  // the sweep of lapsed entries
};

}  // namespace tessaly
