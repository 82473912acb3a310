#include "message/out_queue.h"

#include <memory>

#include "app/globals.h"
#include "app/log_file.h"
#include "transport/xap.h"

namespace tessaly {

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
