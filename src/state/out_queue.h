// Messages the hub wants to send before its transport has started wait here
// and go out, oldest first, with the first send after start-up.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace tessaly {

struct Globals;

// What the transport does with a composed message: broadcast it to the hub
// port and queue a copy for the hub's own relay. Never fails towards the caller.
class XapSender {
 public:
  virtual ~XapSender() = default;
  virtual void SendXap(const std::string& target, const std::string& xap_class, const std::string& section,
                       const std::string& data, const std::string& source, const std::string& sub_address,
                       const std::string& uid) = 0;
};

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
// Appends one item to a packed body, cleaned as PackBody cleans it.
void AddPackedItem(std::string& body, std::string_view name, std::string_view value);

// Sends a message with the hub's own source and uid through g.XapLink;
// before HubStarted, or while there is no transport, it only queues. A
// failure is logged as "SendXap  <data>".
void SendXap(Globals& g, const std::string& target, const std::string& xap_class, const std::string& section,
             const std::string& data);

}  // namespace tessaly
