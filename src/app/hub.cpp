#include "app/hub.h"

#include "app/environment.h"
#include "app/globals.h"
#include "app/log_file.h"
#include "common/text.h"
#include "relay/relay.h"

namespace tessaly {

Hub::Hub(Globals& g) : g_(g) {
  Timer2_ = g_.Sys.loop.CreateTimer([this] { CheckStaleConnections(g_); });
}

Hub::~Hub() = default;

void Hub::Load() {
  try {
    g_.HubStarted = false;
    busy_ = false;
    g_.TrafficView = false;
    g_.MyPid = g_.Sys.processes.OwnPid();
    InitXap(g_);
    WriteLogFile(g_, "Tessaly", "Hub Startup " + Dec(g_.MyPid));

    g_.XapLink = std::make_unique<xap>(g_);
    g_.XapLink->RegisterNewMessageCallback(this);
    g_.XapLink->SetXapSource("zyn.hub." + g_.ComputerName);
    g_.XapLink->SetXapUID("FF00FF00");
    g_.XapLink->BroadcastAddress = g_.BroadcastSetting;
    g_.XapLink->InterfaceAddress = g_.InterfaceSetting;
    g_.XapLink->FilterHeartbeats = false;
    g_.XapLink->Init();
    g_.XapLink->SendHeartbeat(60);
    g_.HubStarted = true;

    Timer2_->SetInterval(60000);
    Timer2_->SetEnabled(true);
  } catch (...) {
    g_.Err.SetFromCurrentException();
    WriteLogFile(g_, "Tessaly", "Main Load");
  }
}

void Hub::Unload() {
  Timer2_->SetEnabled(false);
  g_.XapLink.reset();
}

void Hub::onMessage() {
  if (busy_) return;
  busy_ = true;
  try {
    for (std::string entry = g_.XapLink->GetMessage(); !entry.empty(); entry = g_.XapLink->GetMessage()) {
      Readmessage(g_, entry);
    }
  } catch (...) {
    g_.Err.SetFromCurrentException();
    WriteLogFile(g_, "Tessaly", "Main OnMessage");
  }
  busy_ = false;
}

}  // namespace tessaly
