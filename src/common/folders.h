// Folders on the way to a file.
#pragma once

#include <string>

#include "common/reporter.h"

namespace tessaly {

// Creates every missing folder above the file named by `path` (the last
// element is a file name and never created). Only absolute paths ("/...")
// are handled; a relative path creates nothing. A folder that cannot be made
// is reported as ("Tessaly", " CreateFolders <folder>", error), and the
// folders below it are not tried. Never throws.
void CreateFolders(const std::string& path, Reporter& report);

// The folder of a file path, without the trailing "/"; "" when it has none.
std::string FolderOf(const std::string& path);

}  // namespace tessaly
