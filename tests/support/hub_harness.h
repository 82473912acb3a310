// The shared fixture of the core's tests: the shared state on the fakes, its
// AppPath a fresh temporary folder, a started Hub on demand, and the message
// builders every test uses.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/hub.h"
#include "state/globals.h"
#include "state/log_file.h"
#include "support/fake_platform.h"
#include "support/temp_dir.h"

namespace tessaly::testing {

inline std::string Heartbeat(const std::string& source, const std::string& port, const std::string& interval = "60") {
  return "xap-hbeat\n{\nv=12\nhop=1\nuid=FF123400\nclass=xap-hbeat.alive\nsource=" + source + "\ninterval=" +
         interval + "\nport=" + port + "\n}\n";
}

inline std::string Message(const std::string& source, const std::string& cls = "test.class",
                           const std::string& header_tail = "", const std::string& body = "blk\n{\nx=1\n}\n") {
  return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=" + cls + "\nsource=" + source + "\n" + header_tail + "}\n" +
         body;
}

// An xPL text: a header block of `type` with the `header` lines, then the
// block `schema` with the `body` lines (each line ended by "\n").
inline std::string Xpl(const std::string& type, const std::string& schema, const std::string& body,
                       const std::string& header = "hop=1\nsource=acme-lamp.kitchen\ntarget=*\n") {
  return type + "\n{\n" + header + "}\n" + schema + "\n{\n" + body + "}\n";
}

// The status window and the notification icon, recorded.
struct RecordingView : NullStatusView {
  std::string message;
  std::int32_t counts[4] = {-1, -1, -1, -1};
  std::string connections = "(never written)";
  bool open = false;
  std::function<void()> user_closes;
  void Show() override { open = true; }
  void Close() override { open = false; }
  void SetClosedHandler(std::function<void()> handler) override { user_closes = handler; }
  void SetMessageText(const std::string& text) override { message = text; }
  void SetCount(int index, std::int32_t value) override { counts[index] = value; }
  void SetConnections(const std::string& report) override { connections = report; }
};
struct RecordingTray : NotifyIcon {
  bool available = true, fail = false;
  int menus = 0, choice = -1;
  std::vector<std::string> calls;
  std::function<void(int)> click;
  std::function<void()> while_menu_open;
  bool Available() override { return available; }
  void Add(TrayImage image, const std::string& tip) override { Record("add", image, tip); }
  void Modify(TrayImage image, const std::string& tip) override { Record("modify", image, tip); }
  void Delete() override { calls.push_back("delete"); }
  void SetMouseHandler(std::function<void(int)> handler) override { click = handler; }
  int PopupMenu(const std::vector<std::string>&) override {
    ++menus;
    if (while_menu_open) while_menu_open();
    return choice;
  }
  void Record(const char* what, TrayImage image, const std::string& tip) {
    if (fail) throw std::runtime_error("no tray");
    calls.push_back(std::string(what) + (image == TrayImage::kNormal ? " normal " : " activity ") + tip);
  }
};

class HubFixture : public ::testing::Test {
 protected:
  static constexpr char kLan[] = "192.168.1.5";

  HubFixture() : g(p.platform()) {
    p.processes.exe_path = dir.str() + "/Tessaly";
    p.network.local_addresses = {kLan};
    p.processes.running["Tessaly"] = 1;
    g.StatusForm = std::unique_ptr<StatusView>(view = new RecordingView);
    g.TrayForm.SetNotifyIcon(std::unique_ptr<NotifyIcon>(tray = new RecordingTray));
  }

  void WriteOptions(const std::string& text) {
    std::filesystem::create_directories(dir.path() / "Config");
    std::ofstream(dir.path() / "Config" / "Velmar.ini", std::ios::binary) << text;
  }
  // Starts the hub and lets its first heartbeat go out.
  Hub& Start() {
    hub = std::make_unique<Hub>(g);
    hub->Load();
    p.loop.Advance(10);
    return *hub;
  }
  std::string Log() { return ReadFile(LogFilePath(g)); }

  // A local application listening on `port`; its inbox.
  std::vector<std::string>& Listen(std::int32_t port) {
    auto& ep = client_eps[port] = p.loop.CreateUdpEndpoint();
    EXPECT_EQ(ep->Bind("0.0.0.0", port), 0);
    ep->SetArrivalHandler([this, port](const Datagram& d) { received[port].push_back(d.text); });
    return received[port];
  }
  // A local application listening on `port`, registered by its heartbeat.
  std::vector<std::string>& AddClient(const std::string& source, std::int32_t port) {
    Listen(port);
    FromLocal(Heartbeat(source, std::to_string(port)), port);
    return received[port];
  }
  // A datagram to the hub port from this computer or from another one; then
  // time enough for the relay, and out of the repeat window.
  void FromLocal(const std::string& text, std::int32_t from_port = 50000) { From(kLan, from_port, text); }
  void FromOther(const std::string& text) { From("192.168.1.77", 3639, text); }
  void From(const std::string& address, std::int32_t port, const std::string& text, std::int32_t to_port = 3639) {
    p.network.Inject(address, port, "255.255.255.255", to_port, text);
    p.loop.Advance(150);
  }
  // The texts broadcast to the hub port by the hub since the last call.
  std::vector<std::string> TakeBroadcasts() {
    std::vector<std::string> texts;
    for (auto& d : p.network.SentTo(3639)) texts.push_back(d.text);
    p.network.sent.clear();
    return texts;
  }

  TempDir dir;
  FakePlatform p;
  Globals g;
  RecordingView* view = nullptr;
  RecordingTray* tray = nullptr;
  std::unique_ptr<Hub> hub;
  std::map<std::int32_t, std::unique_ptr<UdpEndpoint>> client_eps;
  std::map<std::int32_t, std::vector<std::string>> received;
};

}  // namespace tessaly::testing
