// The relay: every queue entry the transport hands on ends here.
//
// Readmessage registers local clients from their heartbeats (a heartbeat whose
// sender is this computer's LocalAddress), sends the text to every registered
// client except the one whose key is the message's source key, answers the
// queries addressed to the hub, hands the message to the bridge, and keeps the
// traffic counters. Clients are dropped by CheckStaleConnections once their
// silence exceeds twice their announced interval.
#pragma once

#include <string>

namespace tessaly {

struct Globals;
class XapMessage;

// Handles one queue entry: the sender's address in 15 characters, then the text.
void Readmessage(Globals& g, const std::string& entry);

// The hub's own answers: device query, echo, role. At most one applies.
void HubServices(Globals& g, XapMessage& message);

// Removes every expired client, then rebuilds the connection report.
void CheckStaleConnections(Globals& g);

// The client report text (each row begins with "\r\n").
std::string ConnectionReportText(const Globals& g);
// Writes the report into the status window while it is open.
void ConnectionReport(Globals& g);

}  // namespace tessaly
