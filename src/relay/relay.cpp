#include "relay/relay.h"

#include <cstring>
#include <memory>
#include <optional>

#include "common/text.h"
#include "message/xap_message.h"
#include "state/globals.h"
#include "state/hub_names.h"
#include "state/log_file.h"
#include "state/out_queue.h"
#include "transport/xap.h"

namespace tessaly {

namespace {

// The text after `keyword` (found in any letter case) up to the next "\n";
// nothing when the keyword or the line end is missing.
std::optional<std::string_view> ValueAfter(std::string_view text, std::string_view keyword) {
  std::size_t at = FindNoCase(text, keyword);
  if (at == std::string_view::npos) return std::nullopt;
  std::size_t from = at + keyword.size();
  std::size_t eol = text.find('\n', from);
  if (eol == std::string_view::npos) return std::nullopt;
  return text.substr(from, eol - from);
}

// Twice the announced interval, or nothing when it does not fit.
std::optional<std::int32_t> IntervalLimit(std::string_view interval_text) {
  double limit = 2 * RoundHalfEven(LeadingNumber(interval_text));
  if (limit < -2147483648.0 || limit > 2147483647.0) return std::nullopt;
  return static_cast<std::int32_t>(limit);
}

// A port that a client may be registered on, as it will be sent to: never the
// hub port or the hub's own client port (the hub would relay to itself for
// ever), and never one that nothing can be sent to.
std::optional<std::int32_t> ClientPortOf(std::string_view port_text, std::int32_t own_client_port) {
  std::optional<std::int32_t> port = LeadingInt32(port_text);
  if (!port || *port < 1 || *port > 65535) return std::nullopt;
  if (*port == kXapHubPort || *port == own_client_port) return std::nullopt;
  return port;
}

}  // namespace

// Registers or refreshes the client that sent a local heartbeat. False when
// the heartbeat lacks its interval or port and must not be relayed.
bool XapRelay::Register(std::string_view text, const std::string& key) {
  std::optional<std::string_view> interval = ValueAfter(text, "interval=");
  std::optional<std::string_view> port_text = ValueAfter(text, "Port=");
  if (!interval || !port_text) return false;
  // A backup registers nobody: what reaches it are the primary's relayed
  // copies, and the primary serves the clients.
  if (g_.HubRole != kRolePrimary) return true;
  std::optional<std::int32_t> port = ClientPortOf(*port_text, link_.ClientPort());
  if (!port) return true;
  std::optional<std::int32_t> limit = IntervalLimit(*interval);
  if (!limit) g_.Err.Set(0, "Overflow in interval " + std::string(*interval));

  // A known client keeps the key it was first registered with.
  Router* router = Routers.Find(key);
  const bool fresh = router == nullptr;
  if (fresh) {
    auto added = std::make_unique<Router>();
    added->Key = key;
    router = added.get();
    Routers.Add(std::move(added));
  }
  router->Port = std::string(*port_text);
  router->PortNumber = *port;
  router->IntervalMax = limit.value_or(0);
  router->Heartbeat(g_.Sys.clock.Now());
  if (fresh) ConnectionReport();
  if (!limit) WriteLogFile(g_, "Tessaly", "Readmessage");
  return true;
}

void XapRelay::Relay(std::string_view text, const std::string& key) {
  for (const auto& router : Routers) {
    if (router->Key == key) continue;
    router->CountMessage();
    pending_.push_back({text, router->PortNumber});
    Increment(g_.ForwardCount);
  }
}

void XapRelay::FlushDeliveries() {
  if (pending_.empty()) {
    held_.clear();
    return;
  }
  std::vector<int> results;
  try {
    results = link_.ForwardAll(pending_);
  } catch (...) {
    LogCurrentException(g_, "Readmessage");
  }
  for (std::size_t i = 0; i < results.size() && i < pending_.size(); ++i) {
    if (results[i] == 0) continue;
    g_.Err.Set(0, "Forward to port " + Dec(pending_[i].port) + ": " + std::strerror(results[i]));
    WriteLogFile(g_, "Tessaly", "Readmessage");
  }
  pending_.clear();
  held_.clear();
}

void XapRelay::ShowCounters() {
  if (!g_.TrafficView) return;
  g_.StatusForm->SetCount(0, g_.InboundCount);
  g_.StatusForm->SetCount(1, g_.ForwardCount);
  g_.StatusForm->SetCount(2, g_.DuplicateCount);
  g_.StatusForm->SetCount(3, static_cast<std::int32_t>(Routers.size()));
}

void XapRelay::Readmessage(std::string entry) {
  const std::string& whole = held_.emplace_back(std::move(entry));
  const std::string sender(TrimSpaces(std::string_view(whole).substr(0, std::min(kSenderWidth, whole.size()))));
  const std::string_view text =
      whole.size() > kSenderWidth ? std::string_view(whole).substr(kSenderWidth) : std::string_view();
  Increment(g_.InboundCount);

  std::optional<std::string_view> source = ValueAfter(text, "source=");
  std::string key;
  if (source) {
    std::size_t colon = source->rfind(':');
    key = std::string(colon == std::string_view::npos ? *source : source->substr(0, colon));
  }
  bool relayable = source && key.find('.') != std::string::npos;

  if (relayable && g_.TrafficView) {
    try {
      g_.StatusForm->SetMessageText(ReplaceAll(text, "\n", "\r\n"));
    } catch (...) {
      LogCurrentException(g_, "Readmessage");
    }
  }
  if (relayable && sender == g_.LocalAddress && ToLower(text.substr(0, 8)) == "xap-hbea") {
    try {
      relayable = Register(text, key);
    } catch (...) {
      LogCurrentException(g_, "Readmessage");
    }
  }
  if (relayable) {
    Relay(text, key);
    try {
      XapMessage message(g_.HeaderTemplate, log_);
      message.FromXap(whole);
      try {
        HubServices(message);
      } catch (...) {
        LogCurrentException(g_, "Readmessage");
      }
      try {
        if (listener_) listener_->BridgeToXPL(text, message);
      } catch (...) {
        LogCurrentException(g_, "Readmessage");
      }
    } catch (...) {
      LogCurrentException(g_, "Readmessage");
    }
  }
  try {
    ShowCounters();
  } catch (...) {
    LogCurrentException(g_, "Readmessage");
  }
  if (pending_.size() >= kMaxPending) FlushDeliveries();
}

void XapRelay::HubServices(XapMessage& message) {
  if (message.CompareClass("xAPBSC.query")) {
    if (listener_) listener_->DeviceQuery(message);
    return;
  }
  auto addressed = [&] { return message.CompareTarget(g_.XapSourceValue) || message.CompareTarget("Unknown"); };
  if (message.CompareClass("WDT.Echo")) {
    if (!addressed()) return;
    std::string query = message.GetItem("Echo.Query", "Query");
    if (query == "Unknown") return;
    SendXap(g_, message.msgSource, "WDT.Echo", "Echo.Response", PackBody({{"Response", ToLower(query)}}));
    return;
  }
  if (message.CompareClass("Vantrel.Role")) {
    if (!addressed()) return;
    std::string role = ToLower(message.GetItem("Role.Query", "Role"));
    if (role != "any" && role != "application") return;
    std::string body = PackBody({{"Role", g_.HubRole}, {"Path", g_.ExePath}});
    body += '\0';
    SendXap(g_, "", "Vantrel.Role", "Role.Notification", body);
  }
}

void XapRelay::CheckStaleConnections() {
  try {
    const std::int64_t now = g_.Sys.clock.Now();
    Routers.RemoveIf([now](const Router& r) { return r.Expired(now); });
  } catch (...) {
    LogCurrentException(g_, "CheckStaleConnections");
  }
  try {
    ConnectionReport();
  } catch (...) {
    LogCurrentException(g_, "CheckStaleConnections");
  }
}

std::string XapRelay::ConnectionReportText() {
  std::string report;
  for (const auto& r : Routers) {
    report += "\r\n" + PadLeft(Dec(r->Count()), 10) + "    " + r->Port + "    " + r->Key;
  }
  if (listener_) report += listener_->ReportRows();
  return report;
}

void XapRelay::ConnectionReport() {
  if (!g_.TrafficView) return;
  g_.StatusForm->SetConnections(ConnectionReportText());
}

}  // namespace tessaly
