// What the hub in a HubSandbox says on the wire, for exact comparisons.
#pragma once

#include <string>

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

// Accepts heartbeats whose source line is `source`.
inline DatagramReader::Match HeartbeatOf(const std::string& source) {
  return [source](const Datagram& d) {
    return d.text.rfind("xap-hbeat\n", 0) == 0 && d.text.find("\nsource=" + source + "\n") != std::string::npos;
  };
}

}  // namespace tessaly::e2e
