#include "shell/status_window.h"

#include <string>

#include "common/text.h"
#include "state/errors.h"
#include "state/globals.h"
#include "state/hub_names.h"

namespace tessaly {
namespace {

struct OptionKey {
  StatusOption box;
  const char* key;
  const char* fallback;
};

// In the order the window reads and writes them.
constexpr OptionKey kOptionKeys[] = {
    {StatusOption::aNoBackup, "NoBackup", "1"}, {StatusOption::aNoTray, "NoTray", "0"},
    {StatusOption::aXPL, "XPL", "0"},           {StatusOption::axPLHub, "XPLHub", "0"},
    {StatusOption::aXPLtoXap, "XPLtoXap", "0"}, {StatusOption::aXapToXpl, "XapToXPL", "0"},
};

}  // namespace

SimpleTest::SimpleTest(Globals& g, Reporter& report) : g_(g), report_(report) {}

void SimpleTest::Open() {
  try {
    Load();
  } catch (...) {
    LogCurrentException(g_, "SimpleTest Load");
  }
}

void SimpleTest::Close() {
  try {
    Unload();
  } catch (...) {
    LogCurrentException(g_, "SimpleTest Unload");
  }
}

void SimpleTest::Load() {
  StatusView& view = *g_.StatusForm;
  if (g_.TrafficView) {
    view.Show();
    return;
  }
  StatusIni = std::make_unique<IniTool>(report_);
  g_.TrafficView = true;
  try {
    StatusIni->Load(g_.AppPath + "/Config/Velmar.ini");
  } catch (...) {
    // An unreadable file opens the window with the boxes as they were.
  }
  for (const OptionKey& option : kOptionKeys) {
    const double state = RoundHalfEven(LeadingNumber(StatusIni->Read("General", option.key, option.fallback)));
    // A value that is no box state leaves the box as it was.
    if (state >= kBoxClear && state <= kBoxGreyed) view.SetOption(option.box, static_cast<int>(state));
  }
  view.SetIdentity({Dec(g_.MyPid), g_.LocalAddress, Dec(g_.PartnerPid), std::string("Version ") + kVersion});
  view.SetClosedHandler([this] { Close(); });
  view.Show();
}

void SimpleTest::Unload() {
  if (!g_.TrafficView) return;
  StatusView& view = *g_.StatusForm;
  auto ticked = [&](StatusOption box) { return view.Option(box) != kBoxClear; };
  if (StatusIni) {
    for (const OptionKey& option : kOptionKeys) {
      StatusIni->WriteKey("General", option.key, Dec(view.Option(option.box)));
    }
    StatusIni->Save();
    StatusIni.reset();
  }
  g_.TrafficView = false;
  view.Close();

  g_.BackupWanted = !ticked(StatusOption::aNoBackup);
  g_.NoTray = ticked(StatusOption::aNoTray);
  g_.XplHub = false;
  g_.XapToXpl = ticked(StatusOption::aXapToXpl);
  g_.XplToXap = ticked(StatusOption::aXPLtoXap);
  g_.XplBsc = ticked(StatusOption::aXPL);
  g_.AnyXpl = g_.XplBsc || g_.XplToXap || g_.XapToXpl || g_.XplHub;
  g_.XplHub = g_.AnyXpl;
}

}  // namespace tessaly
