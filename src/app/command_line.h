// What the executable does with its arguments. The hub itself, and the backup
// copy it starts, run without any.
#pragma once

#include <string>
#include <vector>

#include "state/hub_names.h"

namespace tessaly {

struct CommandLineAnswer {
  bool run_hub = false;  // no arguments: start the hub
  int exit_status = 0;   // otherwise: print and end with this status
  std::string out;       // for standard output
  std::string err;       // for standard error
};

// `args` without the program name.
CommandLineAnswer ReadCommandLine(const std::vector<std::string>& args);

}  // namespace tessaly
