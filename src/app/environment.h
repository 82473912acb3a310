// Where the hub lives on disk, what the computer is called, and the xAP log
// event, the second of the program's two loggers.
#pragma once

#include <string>

namespace tessaly {

struct Globals;

// Sets ComputerName, AppPath (the executable's folder, or "/opt/xap/Tessaly"
// when that folder lies below a "/VB/" development folder), ExePath
// (AppPath + "/Tessaly"), creates AppPath/Data, and reads InterfaceSetting
// and BroadcastSetting from [Interface] of AppPath/Config/Orrin.ini (default
// "Default"; a missing file is created empty). A failure is written to the
// log file as "Tessaly InitXap" and the remaining steps are skipped.
void InitXap(Globals& g);

// The base folder for an executable in `exe_folder`: the folder itself, or
// "/opt/xap/Tessaly" when it lies below a "/VB/" development folder (any case).
std::string ResolveAppPath(const std::string& exe_folder);

// The host name, upper-cased. Asks the system once and keeps the name as
// given in ComputerNameCache; "" when the system cannot tell it.
std::string LocalComputerName(Globals& g);

// Creates every missing folder above the file named by `path` (the last
// element is a file name and never created). Only absolute paths ("/...")
// are handled; a relative path creates nothing. A folder that cannot be made
// is reported as " CreateFolders <folder>" (Type "Tessaly") with the error,
// and the folders below it are not tried. Never throws.
void CreateFolders(Globals& g, const std::string& path);

// Sends a log event: class "Vantrel.Event", section "Event.Log", items Time,
// Type and Data through the program-wide SendXap (queued until HubStarted).
// A pending error is appended to Data as " Line <n> <description>" and
// cleared.
void LogXapEvent(Globals& g, const std::string& Type, const std::string& Data);

}  // namespace tessaly
