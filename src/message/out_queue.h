// Messages the hub wants to send before its transport has started wait here
// and go out, oldest first, with the first send after start-up.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace tessaly {

struct Globals;

struct xapQueuedMessage {
  std::string msgTarget;
  std::string msgClass;
  std::string msgSection;
  std::string MsgData;
  std::string MsgSubAddress;
};

// A packed body: items joined by "\0", each its name, "\1" and its value.
// The separator bytes are dropped from names and values, which may come from
// the network or a file, so that no text can add items of its own.
std::string PackBody(std::initializer_list<std::pair<std::string_view, std::string_view>> items);

// Sends a message with the hub's own source and uid through the transport;
// before HubStarted it only queues. A failure is logged as "SendXap  <data>".
void SendXap(Globals& g, const std::string& sTarget, const std::string& sClass, const std::string& sSection,
             const std::string& sData);

}  // namespace tessaly
