#include "message/out_queue.h"

#include <memory>

#include "app/globals.h"
#include "app/log_file.h"
#include "transport/xap.h"

namespace tessaly {

namespace {

void AppendClean(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c != '\0' && c != '\1') out += c;
  }
}

}  // namespace

std::string PackBody(std::initializer_list<std::pair<std::string_view, std::string_view>> items) {
  std::string body;
  for (const auto& [name, value] : items) {
    if (!body.empty()) body += '\0';
    AppendClean(body, name);
    body += '\1';
    AppendClean(body, value);
  }
  return body;
}

void SendXap(Globals& g, const std::string& sTarget, const std::string& sClass, const std::string& sSection,
             const std::string& sData) {
  try {
    if (!g.HubStarted) {
      g.OutQueue.push_back({sTarget, sClass, sSection, sData, ""});
      return;
    }
    if (!g.XapLink) g.XapLink = std::make_unique<xap>(g);
    if (!g.OutQueue.empty()) {
      std::deque<xapQueuedMessage> waiting;
      waiting.swap(g.OutQueue);
      for (const xapQueuedMessage& m : waiting) {
        g.XapLink->SendXap(m.msgTarget, m.msgClass, m.msgSection, m.MsgData, "", "", "");
      }
    }
    g.XapLink->SendXap(sTarget, sClass, sSection, sData, "", "", "");
  } catch (...) {
    g.Err.SetFromCurrentException();
    WriteLogFile(g, "Tessaly", "SendXap  " + sData);
  }
}

}  // namespace tessaly
