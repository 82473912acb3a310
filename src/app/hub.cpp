#include "app/hub.h"

#include "common/folders.h"
#include "common/text.h"
#include "settings/ini_tool.h"
#include "shell/environment.h"
#include "shell/process_utils.h"
#include "state/errors.h"
#include "state/globals.h"
#include "state/hub_names.h"
#include "state/log_file.h"

namespace tessaly {

bool OptionOn(const std::string& value) { return LeadingNumber(value) != 0; }

bool InstanceMayRun(std::int32_t count, bool backup_wanted) {
  if (count == 1) return true;
  // The backup that a primary starts counts itself and the primary.
  return backup_wanted && (count == 0 || count == 2);
}

namespace {

// The tray menu, `AWSArray`.
const std::vector<std::string> kMenu = {"View Traffic", "System Config", "System Status", "Help", "-", "Exit"};
constexpr int kViewTraffic = 0;
constexpr int kExit = 5;

}  // namespace

Hub::Hub(Globals& g) : g_(g), events_(g), xpl_(g, events_), bridge_(g, xpl_), StatusWindow_(g, events_) {
  xpl_.SetListener(&bridge_);
  g_.TrayForm.SetCallback([this](int code) { TrayIconCallback(code); });
  Timer2_ = g_.Sys.loop.CreateTimer([this] {
    if (relay_) relay_->CheckStaleConnections();
  });
}

Hub::~Hub() {
  Unload();
  g_.TrayForm.SetCallback(nullptr);
  g_.StatusForm->SetClosedHandler(nullptr);
}

void Hub::LoadOptions() {
  IniTool options(events_);
  const std::string path = g_.AppPath + "/Config/Velmar.ini";
  CreateFolders(path, events_);
  try {
    options.Load(path);
  } catch (...) {
    // An options file that cannot be read or made leaves every default.
    LogCurrentException(g_, "Main Load");
  }
  g_.BackupWanted = !OptionOn(options.Read("General", "NoBackup", "1"));

  if (!InDevelopmentFolder(FolderOf(g_.Sys.processes.OwnExecutablePath())) &&
      !InstanceMayRun(ProcessCount(g_, std::string(kExeName)), g_.BackupWanted)) {
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
  bridge_.BscDevices.Clear();
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

    XapLink_ = std::make_unique<xap>(g_);
    relay_ = std::make_unique<XapRelay>(g_, *XapLink_);
    relay_->SetListener(&bridge_);
    g_.XapLink = XapLink_.get();
    XapLink_->RegisterNewMessageCallback(this);
    XapLink_->UseIdentityOf(kRolePrimary);
    XapLink_->BroadcastAddress = g_.BroadcastSetting;
    XapLink_->InterfaceAddress = g_.InterfaceSetting;
    XapLink_->FilterHeartbeats = false;
    std::int32_t port = XapLink_->Init();

    XapLink_->SendHeartbeat(60);
    g_.HubStarted = true;
    LogXapEvent(g_, "Tessaly", "Using xAP port " + Dec(port));

    vantrel_ = std::make_unique<Vantrel>(g_.AppPath, g_.Sys.clock, events_);
    if (g_.XplBsc) bridge_.GetSecurityDevices(*vantrel_);
    Timer2_->SetInterval(60000);
    Timer2_->SetEnabled(true);
    if (g_.HubRole == kRolePrimary && !g_.NoTray) g_.TrayForm.ShowTray();
    if (g_.AnyXpl) {
      // "Default" is no address: the xPL side broadcasts where the xAP side does.
      xpl_.XPL_Hub_Load(XapLink_->BroadcastInUse(), XapLink_->ClientPort());
    } else {
      xpl_.tmrxPL().SetEnabled(false);
    }
  } catch (...) {
    LogCurrentException(g_, "Main Load");
  }
}

void Hub::CloseTransport() {
  g_.XapLink = nullptr;
  relay_.reset();
  XapLink_.reset();
}

void Hub::Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  Timer2_->SetEnabled(false);
  xpl_.Close();
  try {
    g_.TrayForm.HideTray();
    if (g_.XplBsc && vantrel_) bridge_.SaveSecurityDevices(*vantrel_);
  } catch (...) {
    LogCurrentException(g_, "Main Unload");
  }
  vantrel_.reset();
  CloseTransport();
}

void Hub::Exit() {
  if (g_.TrafficView) StatusWindow_.Close();
  g_.TrayForm.HideTray();
  CloseTransport();
  StopPID(g_, g_.PartnerPid);
  Unload();
}

void Hub::TrayIconCallback(int msg) {
  if (msg != kLeftButtonUp && msg != kRightButtonUp) return;
  const int chosen = g_.TrayForm.PopupMenu(kMenu);
  if (chosen >= 0) AWSArray_Click(chosen);
}

void Hub::AWSArray_Click(int Index) {
  if (Index == kViewTraffic) {
    StatusWindow_.Open();
  } else if (Index == kExit) {
    Exit();
    g_.Sys.loop.Quit();
  }
}

void Hub::ChildEnded(std::int32_t pid) {
  if (pid == g_.PartnerPid) g_.PartnerPid = 0;
}

void Hub::onMessage() {
  if (busy_ || !XapLink_) return;
  busy_ = true;
  try {
    for (std::string entry = XapLink_->GetMessage(); !entry.empty(); entry = XapLink_->GetMessage()) {
      relay_->Readmessage(std::move(entry));
    }
  } catch (...) {
    LogCurrentException(g_, "Main OnMessage");
  }
  relay_->FlushDeliveries();
  busy_ = false;
}

}  // namespace tessaly
