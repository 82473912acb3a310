#include "app/hub.h"

#include "app/environment.h"
#include "app/globals.h"
#include "app/log_file.h"
#include "app/process_utils.h"
#include "bridge/bridge.h"
#include "common/text.h"
#include "relay/relay.h"
#include "settings/ini_tool.h"
#include "settings/vantrel.h"
#include "xpl/xpl_hub.h"

namespace tessaly {

namespace {
constexpr char kExeName[] = "Tessaly";

// The folder of the running executable, as the system reports it.
std::string OwnFolder(Globals& g) {
  std::string exe = g.Sys.processes.OwnExecutablePath();
  std::size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}
}  // namespace

bool OptionOn(const std::string& value) { return LeadingNumber(value) != 0; }

bool InstanceMayRun(std::int32_t count, bool backup_wanted) {
  if (count == 1) return true;
  // The backup that a primary starts counts itself and the primary.
  return backup_wanted && (count == 0 || count == 2);
}

Hub::Hub(Globals& g) : g_(g) {
  Timer2_ = g_.Sys.loop.CreateTimer([this] { CheckStaleConnections(g_); });
  tmrxPL_ = g_.Sys.loop.CreateTimer([] {});
}

Hub::~Hub() { Unload(); }

void Hub::LoadOptions() {
  IniTool options(g_);
  const std::string path = g_.AppPath + "/Config/Velmar.ini";
  CreateFolders(g_, path);
  try {
    options.Load(path);
  } catch (...) {
    // An options file that cannot be read or made leaves every default.
    g_.Err.SetFromCurrentException();
    WriteLogFile(g_, "Tessaly", "Main Load");
  }
  g_.BackupWanted = !OptionOn(options.Read("General", "NoBackup", "1"));

  if (!ContainsNoCase(OwnFolder(g_) + "/", "/VB/") &&
      !InstanceMayRun(ProcessCount(g_, kExeName), g_.BackupWanted)) {
    ended_ = true;
    return;
  }

  g_.NoTray = OptionOn(options.Read("General", "NoTray", "0"));
  g_.XplHub = OptionOn(options.Read("General", "XPLhub", "0"));
  g_.XplToXap = OptionOn(options.Read("General", "XPLtoXAP", "0"));
  g_.XapToXpl = OptionOn(options.Read("General", "XAPtoXPL", "0"));
  g_.XplBsc = OptionOn(options.Read("General", "XPL", "0"));
  g_.AnyXpl = g_.XplBsc || g_.XapToXpl || g_.XplToXap || g_.XplHub;
  g_.XplHub = g_.AnyXpl;
  g_.BscDevices.Clear();
}

void Hub::Load() {
  try {
    g_.HubStarted = false;
    busy_ = false;
    g_.TrafficView = false;
    g_.MyPid = g_.Sys.processes.OwnPid();
    InitXap(g_);
    WriteLogFile(g_, "Tessaly", "Hub Startup " + Dec(g_.MyPid));

    LoadOptions();
    if (ended_) {
      Unload();
      return;
    }

    g_.XapLink = std::make_unique<xap>(g_);
    g_.XapLink->RegisterNewMessageCallback(this);
    g_.XapLink->SetXapSource("zyn.hub." + g_.ComputerName);
    g_.XapLink->SetXapUID("FF00FF00");
    g_.XapLink->BroadcastAddress = g_.BroadcastSetting;
    g_.XapLink->InterfaceAddress = g_.InterfaceSetting;
    g_.XapLink->FilterHeartbeats = false;
    std::int32_t port = g_.XapLink->Init();

    g_.XapLink->SendHeartbeat(60);
    g_.HubStarted = true;
    LogXapEvent(g_, "Tessaly", "Using xAP port " + Dec(port));

    vantrel_ = std::make_unique<Vantrel>(g_);
    if (g_.XplBsc) GetSecurityDevices(g_);
    Timer2_->SetInterval(60000);
    Timer2_->SetEnabled(true);
    if (g_.HubRole == "Hub" && !g_.NoTray) g_.ShowTray();
    if (g_.AnyXpl) {
      XPL_Hub_Load(g_);
    } else {
      tmrxPL_->SetEnabled(false);
    }
  } catch (...) {
    g_.Err.SetFromCurrentException();
    WriteLogFile(g_, "Tessaly", "Main Load");
  }
}

void Hub::Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  Timer2_->SetEnabled(false);
  tmrxPL_->SetEnabled(false);
  try {
    g_.HideTray();
    if (g_.XplBsc) SaveSecurityDevices(g_);
  } catch (...) {
    g_.Err.SetFromCurrentException();
    WriteLogFile(g_, "Tessaly", "Main Unload");
  }
  vantrel_.reset();
  g_.XapLink.reset();
  g_.Routers.RemoveIf([](const Router&) { return true; });
}

void Hub::Exit() {
  if (g_.TrafficView) g_.CloseStatusWindow();
  g_.HideTray();
  g_.XapLink.reset();
  StopPID(g_, g_.PartnerPid);
  Unload();
}

void Hub::onMessage() {
  if (busy_ || !g_.XapLink) return;
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
