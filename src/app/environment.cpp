#include "app/environment.h"

#include <filesystem>
#include <system_error>

#include "app/globals.h"
#include "app/log_file.h"
#include "common/text.h"
#include "message/out_queue.h"
#include "settings/ini_tool.h"

namespace tessaly {

namespace fs = std::filesystem;

namespace {

// The folder of a file path, without the trailing "/".
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool ErrorPending(const PendingError& e) { return e.line != 0 || !e.description.empty(); }

}  // namespace

std::string ResolveAppPath(const std::string& exe_folder) {
  return ContainsNoCase(exe_folder, "/VB/") ? "/opt/xap/Tessaly" : exe_folder;
}

std::string LocalComputerName(Globals& g) {
  if (g.ComputerNameCache.empty()) {
    if (auto name = g.Sys.host.HostName()) g.ComputerNameCache = *name;
  }
  return ToUpper(g.ComputerNameCache);
}

void CreateFolders(Globals& g, const std::string& path) {
  if (path.empty() || path.front() != '/') return;
  const std::vector<std::string> elements = Split(path, "/");
  std::string folder;
  // elements.front() is the empty text before the root "/", elements.back()
  // the file name.
  for (std::size_t i = 1; i + 1 < elements.size(); ++i) {
    if (elements[i].empty()) continue;
    folder += "/" + elements[i];
    std::error_code ec;
    if (fs::is_directory(folder, ec)) continue;
    if (!fs::create_directory(folder, ec) && !ec) ec = std::make_error_code(std::errc::file_exists);
    if (ec) {
      g.Err.Set(0, ec.message());
      LogXapEvent(g, "Tessaly", " CreateFolders " + folder);
      return;
    }
  }
}

void LogXapEvent(Globals& g, const std::string& Type, const std::string& Data) {
  std::string suffix;
  if (ErrorPending(g.Err)) {
    suffix = " Line " + Dec(g.Err.line) + " " + g.Err.description;
    g.Err.Clear();
  }
  const std::string data = Data + suffix;
  SendXap(g, "", "Vantrel.Event", "Event.Log",
          PackBody({{"Time", GeneralDate(g.Sys.clock.Now())}, {"Type", Type}, {"Data", data}}));
}

void InitXap(Globals& g) {
  try {
    g.ComputerName = LocalComputerName(g);
    g.AppPath = ResolveAppPath(FolderOf(g.Sys.processes.OwnExecutablePath()));
    g.ExePath = g.AppPath + "/Tessaly";
    CreateFolders(g, g.AppPath + "/Data/x");

    IniTool ini(g);
    ini.Load(g.AppPath + "/Config/Orrin.ini");
    g.InterfaceSetting = ini.Read("Interface", "InterfaceAddress", "Default");
    g.BroadcastSetting = ini.Read("Interface", "BroadcastAddress", "Default");
  } catch (...) {
    g.Err.SetFromCurrentException();
    WriteLogFile(g, "Tessaly", "InitXap");
  }
}

}  // namespace tessaly
