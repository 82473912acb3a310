#include "state/out_queue.h"

#include "state/globals.h"

namespace tessaly {

namespace {

void AppendClean(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c != '\0' && c != '\1') out += c;
  }
}

}  // namespace

void AddPackedItem(std::string& body, std::string_view name, std::string_view value) {
  if (!body.empty()) body += '\0';
  AppendClean(body, name);
  body += '\1';
  AppendClean(body, value);
}

std::string PackBody(std::initializer_list<std::pair<std::string_view, std::string_view>> items) {
  std::string body;
  for (const auto& [name, value] : items) AddPackedItem(body, name, value);
  return body;
}

void SendXap(Globals& g, const std::string& target, const std::string& xap_class, const std::string& section,
             const std::string& data) {
  try {
    if (!g.HubStarted || !g.XapLink) {
      g.OutQueue.push_back({target, xap_class, section, data, ""});
      return;
    }
    if (!g.OutQueue.empty()) {
      std::deque<xapQueuedMessage> waiting;
      waiting.swap(g.OutQueue);
      for (const xapQueuedMessage& m : waiting) {
        g.XapLink->SendXap(m.msgTarget, m.msgClass, m.msgSection, m.MsgData, "", "", "");
      }
    }
    g.XapLink->SendXap(target, xap_class, section, data, "", "", "");
  } catch (...) {
    LogCurrentException(g, "SendXap  " + data);
  }
}

}  // namespace tessaly
