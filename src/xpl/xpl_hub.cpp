#include "xpl/xpl_hub.h"

#include <cstring>
#include <vector>

#include "common/text.h"
#include "state/globals.h"
#include "state/hub_names.h"

namespace tessaly {

namespace {

constexpr const char* kSource = "Tessaly";

bool IsRegistrationSchema(std::string_view schema) {
  return schema.starts_with("CONFIG.APP") || schema.starts_with("HBEAT.END") || schema.starts_with("HBEAT.APP");
}

}  // namespace

XplHub::XplHub(Globals& g, Reporter& report)
    : g_(g),
      report_(report),
      parse_log_(g),
      parser_(parse_log_),
      udpHub_(g.Sys.loop.CreateUdpEndpoint()),
      tmrxPL_(g.Sys.loop.CreateTimer([this] { tmrxPL_Timer(); })) {
  udpHub_->SetArrivalHandler([this](const Datagram& d) { XPL_DataArrival(d); });
}

void XplHub::ReportFailure(const char* where) { report_.Report(kSource, where, CurrentExceptionText()); }

void XplHub::XPL_Hub_Load(const std::string& remote_host, std::int32_t xap_client_port) {
  XplRemoteHost = remote_host;
  XplPort = kXplPort;
  xap_client_port_ = xap_client_port;
  tmrxPL_->SetInterval(kSweepMs);
  tmrxPL_->SetEnabled(true);
  // Each step reports its own failure; without the socket nothing else can run.
  auto failed = [this](int error, const std::string& what) {
    if (error != 0) report_.Report(kSource, "XPL_Hub_Load", what + ": " + std::strerror(error));
    return error != 0;
  };
  try {
    const int error = udpHub_->Bind("0.0.0.0", XplPort);
    // A backup finds the port held by its primary: the sweep opens it once the primary has gone.
    if (error != 0 && g_.HubRole == kRoleBackup) return;
    if (failed(error, "Bind 0.0.0.0:" + Dec(XplPort))) return;
    failed(udpHub_->SetBroadcast(true), "Broadcast");
    udpHub_->SetRemote(XplRemoteHost, XplPort);
    failed(udpHub_->Send("XPL"), "Send to " + XplRemoteHost + ":" + Dec(XplPort));
  } catch (...) {
    ReportFailure("XPL_Hub_Load");
  }
}

void XplHub::Close() {
  tmrxPL_->SetEnabled(false);
  udpHub_->Close();
}

void XplHub::XPL_DataArrival(const Datagram& d) {
  try {
    if (d.text.empty()) return;
    if (g_.TrafficView) g_.StatusForm->SetMessageText(ReplaceAll(d.text, "\n", "\r\n"));
    if (parser_.xPL_Extract(d.text)) XPL_BroadcastMessage(d.text, d.from_address);
  } catch (...) {
    ReportFailure("XPL_DataArrival");
  }
}

void XplHub::XPL_BroadcastMessage(const std::string& text, const std::string& sender) {
  if (g_.XplHub) {
    std::int16_t skip = -1;
    try {
      skip = Register(text, sender);
    } catch (...) {
      ReportFailure("XPL_BroadcastMessage");
    }
    if (!WithinHopLimit(text)) return;
    SendXPL(text, skip);
  }
  try {
    if (listener_) listener_->BridgeToXAP(text);
  } catch (...) {
    ReportFailure("XPL_BroadcastMessage");
  }
}

bool XplHub::ClientPortAllowed(std::int32_t port) const {
  return port >= 1 && port <= 65535 && port != kXplPort && port != kXapHubPort && port != xap_client_port_;
}

std::int16_t XplHub::Register(const std::string& text, const std::string& sender) {
  const std::vector<XplBlock>& blocks = parser_.XplFields();
  const std::string schema = blocks.size() > 1 ? blocks[1].Section : "";
  if (blocks.empty() || blocks[0].Section != "XPL-STAT" || !IsRegistrationSchema(schema)) return -1;
  if (sender != g_.LocalAddress) return -1;
  const std::string remote_ip = parser_.xPL_GetParam(true, "REMOTE-IP", true);
  if (!remote_ip.empty() && remote_ip != g_.LocalAddress) return -1;
  const std::optional<std::int32_t> port = LeadingInt32(parser_.xPL_GetParam(true, "PORT", false));
  if (!port || !ClientPortAllowed(*port)) return -1;

  std::int16_t interval = 0;
  const double announced = RoundHalfEven(LeadingNumber(parser_.xPL_GetParam(true, "INTERVAL", true)));
  if (announced >= INT16_MIN && announced <= INT16_MAX) {
    interval = static_cast<std::int16_t>(announced);
  } else {
    report_.Report(kSource, "XPL_BroadcastMessage", "interval outside 16 bits");
  }
  if (interval < 1) interval = 5;

  const std::int64_t now = g_.Sys.clock.Now();
  const std::string source = parser_.xPL_GetParam(false, "SOURCE", true);
  const bool ends = schema == "HBEAT.END";
  std::int16_t skip = -1;
  bool known = false;
  for (std::int16_t i = 1; i <= kMaxClients; ++i) {
    XplClient& c = XplClients[i];
    if (c.Port != *port) continue;
    known = true;
    c.Expires = now + (2 * interval + 1) * 60;
    c.Interval = interval;
    c.Source = source;
    c.Active = true;
    Increment(c.Heartbeats);
    if (ends) skip = i;
  }
  for (std::int16_t i = 1; !known && i <= kMaxClients; ++i) {
    XplClient& c = XplClients[i];
    if (c.Port != 0) continue;
    c = XplClient{*port, now + 2 * interval * 60, interval, true, source, 0};
    if (ends) skip = i;
    break;
  }
  g_.StatusForm->SetMessageText(text);
  return skip;
}

bool XplHub::WithinHopLimit(std::string_view text) {
  const std::size_t at = FindNoCase(text, "hop=");
  if (at == std::string_view::npos) return true;
  const std::size_t from = at + 4;
  const std::size_t eol = text.find('\n', from);
  if (eol == std::string_view::npos) return true;
  return LeadingNumber(text.substr(from, eol - from)) + 1 <= kHopLimit;
}

void XplHub::SendXPL(std::string_view text, std::int16_t LocalPortID) {
  try {
    std::vector<Delivery> batch;
    for (std::int16_t i = 1; i <= kMaxClients; ++i) {
      if (XplClients[i].Port != 0) batch.push_back({text, XplClients[i].Port});
    }
    if (!batch.empty()) {
      udpHub_->SetRemote(g_.LocalAddress, 0);
      const std::vector<int> results = udpHub_->SendToPorts(batch);
      for (std::size_t i = 0; i < results.size() && i < batch.size(); ++i) {
        if (results[i] == 0) continue;
        report_.Report(kSource, "XPL_BroadcastMessage",
                       "Send to port " + Dec(batch[i].port) + ": " + std::strerror(results[i]));
      }
    }
  } catch (...) {
    ReportFailure("XPL_BroadcastMessage");
  }
  if (LocalPortID >= 1 && LocalPortID <= kMaxClients) XplClients[LocalPortID].Port = 0;
  udpHub_->SetRemote(XplRemoteHost, XplPort);
}

void XplHub::tmrxPL_Timer() {
  try {
    if (!udpHub_->IsBound() && udpHub_->Bind("0.0.0.0", XplPort) == 0) udpHub_->SetBroadcast(true);
    const std::int64_t now = g_.Sys.clock.Now();
    for (std::int16_t i = 1; i <= kMaxClients; ++i) {
      if (XplClients[i].Port != 0 && XplClients[i].Expires < now) XplClients[i].Port = 0;
    }
  } catch (...) {
    ReportFailure("XPL_Timer");
  }
}

std::string XplHub::ReportRows() const {
  std::string rows;
  for (std::int16_t i = 1; i <= kMaxClients; ++i) {
    const XplClient& c = XplClients[i];
    if (c.Port == 0) continue;
    rows += "\r\n" + PadLeft(Dec(c.Heartbeats), 10) + "    " + Dec(c.Port) + "    " + c.Source;
  }
  return rows;
}

}  // namespace tessaly
