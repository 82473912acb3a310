// Messages the hub wants to send before its transport has started wait here
// and go out, oldest first, with the first send after start-up.
#pragma once

#include <string>

namespace tessaly {

struct Globals;

struct xapQueuedMessage {
  std::string msgTarget;
  std::string msgClass;
  std::string msgSection;
  std::string MsgData;
  std::string MsgSubAddress;
};

// Sends a message with the hub's own source and uid through the transport;
// before HubStarted it only queues. A failure is logged as "SendXap  <data>".
void SendXap(Globals& g, const std::string& sTarget, const std::string& sClass, const std::string& sSection,
             const std::string& sData);

}  // namespace tessaly
