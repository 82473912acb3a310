#include "app/command_line.h"

namespace tessaly {

namespace {

constexpr char kUsage[] =
    "Usage: Tessaly [--version | --help]\n"
    "\n"
    "The xAP hub of this computer: owns UDP port 3639 and relays every xAP message\n"
    "to the local applications that announce themselves by heartbeat. Started\n"
    "without arguments it runs in the foreground until it is stopped.\n"
    "\n"
    "Files, below the folder of the executable:\n"
    "  Config/Velmar.ini   options, section [General]: NoBackup, NoTray, XPLhub,\n"
    "                      XPLtoXAP, XAPtoXPL, XPL\n"
    "  Config/Orrin.ini    network interface, section [Interface]:\n"
    "                      InterfaceAddress, BroadcastAddress\n"
    "  Data/Tessaly<pid>.txt  the log of the process with that pid\n"
    "\n"
    "Signals:\n"
    "  SIGINT              exit, stopping the backup copy too\n"
    "  SIGTERM, SIGHUP     shut down, leaving a backup copy to take over\n";

}  // namespace

CommandLineAnswer ReadCommandLine(const std::vector<std::string>& args) {
  if (args.empty()) return {true, 0, "", ""};
  if (args.size() == 1 && args[0] == "--version") return {false, 0, std::string(kVersion) + "\n", ""};
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) return {false, 0, kUsage, ""};
  return {false, 2, "", "Tessaly: unknown argument \"" + args[0] + "\"; try Tessaly --help\n"};
}

}  // namespace tessaly
