// Loads arbitrary bytes as a settings file, lists and reads everything back,
// then saves and reloads it: every key that could be read before the save
// must read the same after it (unless a section name holds the separator
// "~", which the file model does not support).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/globals.h"
#include "common/text.h"
#include "message/out_queue.h"
#include "settings/ini_tool.h"
#include "support/fake_platform.h"
#include "support/temp_dir.h"

namespace {

struct Setup {
  tessaly::testing::FakePlatform platform;
  tessaly::Globals g{platform.platform()};
  tessaly::testing::TempDir dir;
  std::string path = dir.str() + "/fuzz.ini";
};

bool SaveFailed(const tessaly::Globals& g) {
  for (const auto& m : g.OutQueue) {
    if (m.MsgData.find("IniTool Save ") != std::string::npos) return true;
  }
  return false;
}

// True when some line could be a section line with a "~" in its name.
bool TildeInSectionName(std::string_view text) {
  for (const std::string_view line : tessaly::Split(text, "\n")) {
    if (line.find('[') != std::string_view::npos && line.find('~') != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup s;
  s.g.OutQueue.clear();
  {
    std::ofstream out(s.path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }

  tessaly::IniTool ini(s.g);
  ini.Load(s.path);
  struct Value {
    std::string header, key, value;
  };
  std::vector<Value> seen;
  for (const std::string& header : ini.Headers()) {
    for (const std::string& key : ini.Keys(header)) {
      seen.push_back({header, key, ini.Read(header, key, "\x01missing")});
    }
  }
  ini.Read(std::string(reinterpret_cast<const char*>(data), size < 16 ? size : 16), "", "");

  ini.Save();
  if (SaveFailed(s.g) || TildeInSectionName(std::string_view(reinterpret_cast<const char*>(data), size))) return 0;
  tessaly::IniTool again(s.g);
  again.Load(s.path);
  for (const Value& v : seen) {
    if (again.Read(v.header, v.key, "\x01missing") != v.value) std::abort();
  }
  return 0;
}
