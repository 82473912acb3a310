#include "settings/vantrel.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>
#include <vector>

#include "common/text.h"
#include "message/fast_string.h"
#include "settings/ini_tool.h"
#include "state/log_file.h"

namespace tessaly {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno ? errno : EIO, std::generic_category(), what);
}

}  // namespace

Vantrel::Vantrel(const std::string& app_path, Clock& clock, Reporter& report)
    : clock_(clock),
      report_(report),
      config_base_(app_path),
      app_folder_(app_path),
      log_path_(app_path + "/Data/Tessaly.txt") {}

std::string Vantrel::ConfigPath(const std::string& File) const { return config_base_ + "/Config/" + File; }

void Vantrel::Writelog(const std::string& Col1, const std::string& col2) {
  const std::string line = GeneralDate(clock_.Now()) + "\t" + Col1 + "\t" + col2 + "\r\n";
  errno = 0;
  std::unique_ptr<std::FILE, FileCloser> out(std::fopen(log_path_.c_str(), "ab"));
  if (!out) ThrowErrno("cannot open " + log_path_);
  if (std::fwrite(line.data(), 1, line.size(), out.get()) != line.size()) ThrowErrno("cannot write " + log_path_);
  if (std::fclose(out.release()) != 0) ThrowErrno("cannot write " + log_path_);
}

std::string Vantrel::GetIniSetting(const std::string& Group, const std::string& Key, const std::string& Default,
                                   const std::string& File) {
  IniTool ini(report_);
  ini.Load(ConfigPath(File));
  return ini.Read(Group, Key, Default);
}

void Vantrel::SaveIniSetting(const std::string& Group, const std::string& Key, const std::string& Value,
                             const std::string& File) {
  IniTool ini(report_);
  ini.Load(ConfigPath(File));
  ini.WriteKey(Group, Key, Value);
  ini.Save();
}

std::string Vantrel::GetINISection(const std::string& Group, const std::string& File) {
  IniTool ini(report_);
  ini.Load(ConfigPath(File));
  FastString built;
  for (const std::string& name : ini.Keys(Group)) {
    built.Add(std::string_view("\0", 1));
    built.Add(name);
    built.Add("=");
    built.Add(ini.Read(Group, name, ""));
  }
  return built.Value().substr(1);
}

std::string Vantrel::GetAppPath() const { return app_folder_; }

std::string Vantrel::StringItem(const std::string& text, std::int32_t n, const std::string& delimiter) {
  if (n < 1) return "";
  const std::vector<std::string> items = Split(text, delimiter);
  if (static_cast<std::size_t>(n) > items.size()) return "";
  return items[static_cast<std::size_t>(n) - 1];
}

}  // namespace tessaly
