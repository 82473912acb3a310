// The settings facade: single INI settings and whole sections of files in
// AppPath/Config, a tab-separated log, the application folder, and a field
// cut out of a delimited text. Every settings call reads its file anew
// through a fresh IniTool, so it always sees the file's current content.
#pragma once

#include <cstdint>
#include <string>

#include "common/reporter.h"
#include "platform/clock.h"

namespace tessaly {


class Vantrel {
 public:
  // Works below `app_path` (AppPath, set by InitXap before); the log's dates
  // come from `clock`, the settings files' reports go to `report`.
  Vantrel(const std::string& app_path, Clock& clock, Reporter& report);

  // Appends "<date time>\t<Col1>\t<col2>\r\n" to AppPath/Data/Tessaly.txt,
  // creating the file when missing. Throws std::system_error when the line
  // cannot be written (for instance when the Data folder is missing).
  void Writelog(const std::string& Col1, const std::string& col2);

  // The value of Key in Group of Config/<File>; Default when the key is
  // missing or empty. A missing file is created empty. File-system failures
  // throw (see IniTool::Load).
  std::string GetIniSetting(const std::string& Group, const std::string& Key, const std::string& Default,
                            const std::string& File);

  // Writes one key and saves Config/<File> at once (one whole rewrite per
  // call, with its "_bck" copy). Save failures are reported by IniTool.
  void SaveIniSetting(const std::string& Group, const std::string& Key, const std::string& Value,
                      const std::string& File);

  // Every pair of Group as "NAME=value", pairs joined by the character 0,
  // names upper-cased, in file order. A missing or empty section gives "=".
  std::string GetINISection(const std::string& Group, const std::string& File);

  // The application folder as it was when the object was made.
  std::string GetAppPath() const;

  // Item n (counting from 1) of `text` split at every `delimiter`; "" when
  // there are fewer items, or when n is below 1.
  static std::string StringItem(const std::string& text, std::int32_t n, const std::string& delimiter);

 private:
  std::string ConfigPath(const std::string& File) const;

  Clock& clock_;
  Reporter& report_;
  std::string config_base_;
  std::string app_folder_;
  std::string log_path_;
};

}  // namespace tessaly
