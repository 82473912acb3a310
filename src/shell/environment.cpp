#include "shell/environment.h"

#include "common/folders.h"
#include "common/text.h"
#include "settings/ini_tool.h"
#include "state/errors.h"
#include "state/event_log.h"
#include "state/globals.h"
#include "state/hub_names.h"

namespace tessaly {

bool InDevelopmentFolder(const std::string& exe_folder) { return ContainsNoCase(exe_folder + "/", "/VB/"); }

std::string LocalComputerName(Globals& g) {
  if (g.ComputerNameCache.empty()) {
    if (auto name = g.Sys.host.HostName()) g.ComputerNameCache = *name;
  }
  // A dotted name ("box.lan") would add levels to the hub's xAP address.
  return ToUpper(g.ComputerNameCache.substr(0, g.ComputerNameCache.find('.')));
}

void InitXap(Globals& g) {
  try {
    g.ComputerName = LocalComputerName(g);
    const std::string exe_folder = FolderOf(g.Sys.processes.OwnExecutablePath());
    g.AppPath = InDevelopmentFolder(exe_folder) ? kDevelopmentAppPath : exe_folder;
    g.ExePath = g.AppPath + "/" + std::string(kExeName);
    EventReporter events(g);
    CreateFolders(g.AppPath + "/Data/x", events);

    IniTool ini(events);
    ini.Load(g.AppPath + "/Config/Orrin.ini");
    g.InterfaceSetting = ini.Read("Interface", "InterfaceAddress", "Default");
    g.BroadcastSetting = ini.Read("Interface", "BroadcastAddress", "Default");
  } catch (...) {
    LogCurrentException(g, "InitXap");
  }
}

}  // namespace tessaly
