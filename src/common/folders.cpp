#include "common/folders.h"

#include <filesystem>
#include <system_error>

#include "common/text.h"

namespace tessaly {

namespace fs = std::filesystem;

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void CreateFolders(const std::string& path, Reporter& report) {
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
      report.Report("Tessaly", " CreateFolders " + folder, ec.message());
      return;
    }
  }
}

}  // namespace tessaly
