// The status window (`StatusForm`): opening reads the start-up options of
// Velmar.ini into its six boxes and shows the hub's identity; while it is open
// (`TrafficView`) the relay writes the traffic into it; closing, by the user
// or by "Exit", writes the boxes back to the file and applies them to the
// running hub's flags.
#pragma once

#include <memory>

#include "common/reporter.h"
#include "settings/ini_tool.h"

namespace tessaly {

struct Globals;

class SimpleTest {
 public:
  // `report` receives the option file's reports (a save that fails).
  SimpleTest(Globals& g, Reporter& report);

  // Opens the window, or brings it to the front when it is open.
  void Open();
  // Closes the window; nothing when it is closed.
  void Close();

 private:
  void Load();
  void Unload();

  Globals& g_;
  Reporter& report_;
  std::unique_ptr<IniTool> StatusIni;
};

}  // namespace tessaly
