// What the hub in a HubSandbox says on the wire, for exact comparisons.
#pragma once

#include <time.h>

#include <ctime>
#include <string>
#include <vector>

#include "e2e/netns.h"

namespace tessaly::e2e {

// The hub upper-cases the host name "hubhost" into its identity.
inline const std::string kPrimarySource = "zyn.hub.HUBHOST";
inline const std::string kPrimaryUid = "FF00FF00";
inline const std::string kBackupSource = "zyn.backupHub.HUBHOST";
inline const std::string kBackupUid = "FF00FE00";

// The hub's heartbeat, byte for byte.
inline std::string HubHeartbeat(const std::string& source, const std::string& uid, int client_port,
                                int interval = 60) {
  return "xap-hbeat\n{\nv=12\nhop=1\nuid=" + uid + "\nclass=xap-hbeat.alive\nsource=" + source +
         "\ninterval=" + std::to_string(interval) + "\nport=" + std::to_string(client_port) + "\n}\n";
}

// A heartbeat as a local application sends it to announce its own port. The
// values are texts so that tests can also announce malformed ones.
inline std::string ClientHeartbeat(const std::string& source, const std::string& uid, const std::string& port,
                                   const std::string& interval = "60", const std::string& line_end = "\n") {
  std::string text;
  for (const std::string& line : {std::string("xap-hbeat"), std::string("{"), std::string("v=12"),
                                  std::string("hop=1"), "uid=" + uid, std::string("class=xap-hbeat.alive"),
                                  "source=" + source, "interval=" + interval, "port=" + port, std::string("}")}) {
    text += line + line_end;
  }
  return text;
}

// An xAP message with one body section of `items` ("name=value" lines);
// `target` empty: no target line.
inline std::string XapText(const std::string& source, const std::string& message_class, const std::string& section,
                           const std::vector<std::string>& items, const std::string& target = "",
                           const std::string& uid = "FF123400") {
  std::string text = "xap-header\n{\nv=12\nhop=1\nuid=" + uid + "\nclass=" + message_class + "\nsource=" + source + "\n";
  if (!target.empty()) text += "target=" + target + "\n";
  text += "}\n" + section + "\n{\n";
  for (const std::string& item : items) text += item + "\n";
  return text + "}\n";
}

// A message as the hub composes its own (its uid, no sub-address).
inline std::string HubText(const std::string& message_class, const std::string& section,
                           const std::vector<std::string>& items, const std::string& target = "") {
  return XapText(kPrimarySource, message_class, section, items, target, kPrimaryUid);
}

// Accepts datagrams whose text is `text`, byte for byte.
inline DatagramReader::Match TextIs(const std::string& text) {
  return [text](const Datagram& d) { return d.text == text; };
}

// Accepts the hub's log events (class Vantrel.Event) of `type` whose Data item
// is `data`, or, with `data_prefix`, starts with `data` followed by a blank.
inline DatagramReader::Match HubEvent(const std::string& type, const std::string& data, bool data_prefix = false) {
  return [=](const Datagram& d) {
    const std::string items = "\nType=" + type + "\nData=" + data;
    return d.text.rfind("xap-header\n", 0) == 0 && d.text.find("\nclass=Vantrel.Event\n") != std::string::npos &&
           d.text.find("\nsource=" + kPrimarySource + "\n") != std::string::npos &&
           (d.text.find(items + "\n}\n") != std::string::npos ||
            (data_prefix && d.text.find(items + " ") != std::string::npos));
  };
}

// Local time as the hub writes it: dd/mm/yyyy hh:mm:ss.
inline std::string LocalDateTime(std::time_t t) {
  std::tm parts{};
  localtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%d/%m/%Y %H:%M:%S", &parts);
  return text;
}

// True when `stamp` is the local time of a second from `from` to `to`, a
// second of slack on each side.
inline bool StampBetween(const std::string& stamp, std::time_t from, std::time_t to) {
  for (std::time_t t = from - 1; t <= to + 1; ++t) {
    if (stamp == LocalDateTime(t)) return true;
  }
  return false;
}

// Accepts heartbeats whose source line is `source`.
inline DatagramReader::Match HeartbeatOf(const std::string& source) {
  return [source](const Datagram& d) {
    return d.text.rfind("xap-hbeat\n", 0) == 0 && d.text.find("\nsource=" + source + "\n") != std::string::npos;
  };
}

}  // namespace tessaly::e2e
