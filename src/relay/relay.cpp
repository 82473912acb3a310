#include "relay/relay.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "app/globals.h"
#include "app/log_file.h"
#include "bridge/bridge.h"
#include "common/text.h"
#include "message/out_queue.h"
#include "message/xap_message.h"
#include "transport/xap.h"

namespace tessaly {

namespace {

constexpr std::size_t kAddressWidth = 15;

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

void LogFailure(Globals& g, const char* where) {
  g.Err.SetFromCurrentException();
  WriteLogFile(g, "Tessaly", where);
}

void ShowCounters(Globals& g) {
  if (!g.TrafficView) return;
  g.StatusForm->SetCount(0, g.InboundCount);
  g.StatusForm->SetCount(1, g.ForwardCount);
  g.StatusForm->SetCount(2, g.DuplicateCount);
  g.StatusForm->SetCount(3, static_cast<std::int32_t>(g.Routers.size()));
}

// Twice the announced interval, or nothing when it does not fit.
std::optional<std::int32_t> IntervalLimit(std::string_view interval_text) {
  double limit = 2 * RoundHalfEven(LeadingNumber(interval_text));
  if (limit < -2147483648.0 || limit > 2147483647.0) return std::nullopt;
  return static_cast<std::int32_t>(limit);
}

// Registers or refreshes the client that sent a local heartbeat. False when
// the heartbeat lacks its interval or port and must not be relayed.
bool Register(Globals& g, std::string_view text, const std::string& key) {
  std::optional<std::string_view> interval = ValueAfter(text, "interval=");
  std::optional<std::string_view> port = ValueAfter(text, "Port=");
  if (!interval || !port) return false;
  // Neither the hub port nor the hub's own client port becomes a client: the
  // hub would relay to itself for ever. A backup registers nobody: what
  // reaches it are the primary's relayed copies, and the primary serves the
  // clients.
  const double port_number = LeadingNumber(*port);
  if (port_number == xap::kHubPort || (g.XapLink && port_number == g.XapLink->ClientPort())) return true;
  if (g.HubRole != "Hub") return true;
  // A port nothing can be sent to would only fail, and be logged, for every
  // message relayed; such a client is not registered.
  if (!(port_number >= 1 && port_number <= 65535)) return true;
  const std::int64_t now = g.Sys.clock.Now();
  std::optional<std::int32_t> limit = IntervalLimit(*interval);
  if (!limit) g.Err.Set(0, "Overflow in interval " + std::string(*interval));

  // A known client keeps the key it was first registered with.
  Router* router = g.Routers.Find(key);
  const bool fresh = router == nullptr;
  if (fresh) {
    auto added = std::make_unique<Router>();
    added->Key = key;
    router = added.get();
    g.Routers.Add(std::move(added));
  }
  router->Port = std::string(*port);
  router->IntervalMax = limit.value_or(0);
  router->Heartbeat(now);
  if (fresh) ConnectionReport(g);
  if (!limit) WriteLogFile(g, "Tessaly", "Readmessage");
  return true;
}

void Relay(Globals& g, std::string_view text, const std::string& key) {
  std::vector<Router*> targets;
  std::vector<const std::string*> ports;
  for (const auto& router : g.Routers) {
    if (router->Key == key) continue;
    router->CountMessage();
    targets.push_back(router.get());
    ports.push_back(&router->Port);
  }
  if (targets.empty()) return;
  std::vector<int> results;
  try {
    results = g.XapLink ? g.XapLink->ForwardToAll(ports, text) : std::vector<int>(ports.size(), EBADF);
  } catch (...) {
    LogFailure(g, "Readmessage");
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    int err = i < results.size() ? results[i] : 0;
    if (err != 0) {
      g.Err.Set(0, "Forward to port " + targets[i]->Port + ": " + std::strerror(err));
      WriteLogFile(g, "Tessaly", "Readmessage");
    }
    Increment(g.ForwardCount);
  }
}

}  // namespace

void Readmessage(Globals& g, const std::string& entry) {
  std::string_view whole(entry);
  const std::string sender(TrimSpaces(whole.substr(0, std::min(kAddressWidth, whole.size()))));
  const std::string_view text = whole.size() > kAddressWidth ? whole.substr(kAddressWidth) : std::string_view();
  Increment(g.InboundCount);

  std::optional<std::string_view> source = ValueAfter(text, "source=");
  std::string key;
  if (source) {
    std::size_t colon = source->rfind(':');
    key = std::string(colon == std::string_view::npos ? *source : source->substr(0, colon));
  }
  bool relayable = source && key.find('.') != std::string::npos;

  if (relayable && g.TrafficView) {
    try {
      g.StatusForm->SetMessageText(ReplaceAll(text, "\n", "\r\n"));
    } catch (...) {
      LogFailure(g, "Readmessage");
    }
  }
  if (relayable && sender == g.LocalAddress && ToLower(text.substr(0, 8)) == "xap-hbea") {
    try {
      relayable = Register(g, text, key);
    } catch (...) {
      LogFailure(g, "Readmessage");
    }
  }
  if (relayable) {
    Relay(g, text, key);
    try {
      XapMessage message(g);
      message.FromXap(entry);
      try {
        HubServices(g, message);
      } catch (...) {
        LogFailure(g, "Readmessage");
      }
      try {
        BridgeToXPL(g, std::string(text), message);
      } catch (...) {
        LogFailure(g, "Readmessage");
      }
    } catch (...) {
      LogFailure(g, "Readmessage");
    }
  }
  try {
    ShowCounters(g);
  } catch (...) {
    LogFailure(g, "Readmessage");
  }
}

void HubServices(Globals& g, XapMessage& message) {
  if (message.CompareClass("xAPBSC.query")) {
    for (auto& [key, device] : g.BscDevices) {
      if (message.CompareTarget("xpl." + device.Source)) {
        BSCQuery(g, message.msgTarget);
        return;
      }
    }
    return;
  }
  auto addressed = [&] { return message.CompareTarget(g.XapSourceValue) || message.CompareTarget("Unknown"); };
  if (message.CompareClass("WDT.Echo")) {
    if (!addressed()) return;
    std::string query = message.GetItem("Echo.Query", "Query");
    if (query == "Unknown") return;
    SendXap(g, message.msgSource, "WDT.Echo", "Echo.Response", PackBody({{"Response", ToLower(query)}}));
    return;
  }
  if (message.CompareClass("Vantrel.Role")) {
    if (!addressed()) return;
    std::string role = ToLower(message.GetItem("Role.Query", "Role"));
    if (role != "any" && role != "application") return;
    std::string body = PackBody({{"Role", g.HubRole}, {"Path", g.ExePath}});
    body += '\0';
    SendXap(g, "", "Vantrel.Role", "Role.Notification", body);
  }
}

void CheckStaleConnections(Globals& g) {
  try {
    const std::int64_t now = g.Sys.clock.Now();
    g.Routers.RemoveIf([now](const Router& r) { return r.Expired(now); });
  } catch (...) {
    LogFailure(g, "CheckStaleConnections");
  }
  try {
    ConnectionReport(g);
  } catch (...) {
    LogFailure(g, "CheckStaleConnections");
  }
}

std::string ConnectionReportText(const Globals& g) {
  std::string report;
  for (const auto& r : g.Routers) {
    report += "\r\n" + PadLeft(Dec(r->Count()), 10) + "    " + r->Port + "    " + r->Key;
  }
  // The xPL clients' rows follow here once the xPL hub exists.
  return report;
}

void ConnectionReport(Globals& g) {
  if (!g.TrafficView) return;
  g.StatusForm->SetConnections(ConnectionReportText(g));
}

}  // namespace tessaly
