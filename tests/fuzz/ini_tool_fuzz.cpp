// Arbitrary bytes loaded as a settings file and saved: every key read before reads the same after the save.
#include <cstdlib>
#include "settings/ini_tool.h"
#include "support/temp_dir.h"
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const tessaly::testing::TempDir dir;
  static const std::string path = dir.str() + "/fuzz.ini";
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  tessaly::RecordingReporter report;
  tessaly::IniTool ini(report), again(report);
  ini.Load(path);
  std::vector<std::vector<std::string>> seen;  // section, key, value
  for (const std::string& header : ini.Headers())
    for (const std::string& key : ini.Keys(header)) seen.push_back({header, key, ini.Read(header, key, "\1")});
  ini.Save();
  if (!report.entries.empty() && report.entries.back().source == "Tessaly") return 0;  // a name too long to save
  // The file model cannot tell a "~" in a section name from its own separator.
  if (text.find('[') != std::string::npos && text.find('~') != std::string::npos) return 0;
  again.Load(path);
  for (const auto& v : seen)
    if (again.Read(v[0], v[1], "\1") != v[2]) std::abort();
  return 0;
}
