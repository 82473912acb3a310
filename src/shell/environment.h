// Where the hub lives on disk, what the computer is called, and which
// network interface settings it uses.
#pragma once

#include <string>

namespace tessaly {

struct Globals;

// The folder the hub keeps its files in when it runs from a development copy.
constexpr char kDevelopmentAppPath[] = "/opt/xap/Tessaly";

// True when `exe_folder` lies in or below a folder named "VB" (any letter
// case): a development copy, which keeps its files in kDevelopmentAppPath and
// skips the check for other running copies.
bool InDevelopmentFolder(const std::string& exe_folder);

// Sets ComputerName, AppPath (the executable's folder, or kDevelopmentAppPath
// for a development copy), ExePath (AppPath + "/Tessaly"), creates
// AppPath/Data, and reads InterfaceSetting and BroadcastSetting from
// [Interface] of AppPath/Config/Orrin.ini (default "Default"; a missing file
// is created empty). A failure is written to the log file as "Tessaly
// InitXap" and the remaining steps are skipped.
void InitXap(Globals& g);

// The computer's name: the host name up to its first dot, upper-cased. Asks
// the system once and keeps the name as given in ComputerNameCache; "" when
// the system cannot tell it.
std::string LocalComputerName(Globals& g);

}  // namespace tessaly
