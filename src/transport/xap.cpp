#include "transport/xap.h"

#include <algorithm>
#include <cerrno>
#include <exception>

#include "common/text.h"
#include "message/xap_message.h"
#include "state/globals.h"
#include "state/log_file.h"

namespace tessaly {

namespace {
constexpr std::uint32_t kRepeatWindowMs = 100;
constexpr std::uint32_t kReceiveDeferralMs = 5;
}  // namespace

std::string MakeHeaderTemplate() { return ReplaceAll("xap-header|{|v=12|hop=1|uid=", "|", "\n"); }

bool MatchesInterface(const std::string& pattern, const std::string& address) {
  std::vector<std::string> p = Split(pattern, ".");
  std::vector<std::string> a = Split(address, ".");
  if (p.size() != 4 || a.size() != 4) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    std::optional<std::int32_t> av = LeadingInt32(a[i]);
    std::optional<std::int32_t> pv = LeadingInt32(p[i]);
    if (!av || !pv) return false;
    if (*av != (*av & *pv)) return false;
  }
  return true;
}

xap::xap(Globals& g) : g_(g), log_(g) {
  EventLoop& loop = g_.Sys.loop;
  Winsock1 = loop.CreateUdpEndpoint();
  Winsock3 = loop.CreateUdpEndpoint();
  Winsock4 = loop.CreateUdpEndpoint();
  Winsock1->SetArrivalHandler([this](const Datagram& d) { OnHubPortArrival(d); });
  Winsock3->SetArrivalHandler([this](const Datagram& d) { OnClientArrival(d); });
  Winsock4->SetArrivalHandler([this](const Datagram& d) { OnClientArrival(d); });
  HBeatTimer_ = loop.CreateTimer([this] { OnHBeatTimer(); });
  HBeatTimer_->SetInterval(20000);
  HBeatTimer_->SetEnabled(true);
  ReceiveTimer_ = loop.CreateTimer([this] { OnReceiveTimer(); });
  LastTick = g_.Sys.clock.TickCount();
}

xap::~xap() {
  ReceiveQueue.clear();
  Winsock3->Close();
  Winsock1->Close();
  Winsock4->Close();
  g_.Err.Clear();
}

void xap::SetXapSource(const std::string& value) {
  g_.XapSourceValue = value;
  RebuildHeartbeatText();
}
const std::string& xap::XapSource() const { return g_.XapSourceValue; }

void xap::SetXapUID(const std::string& value) {
  g_.XapUidValue = value;
  g_.HeaderTemplate = MakeHeaderTemplate();
  RebuildHeartbeatText();
}
const std::string& xap::XapUID() const { return g_.XapUidValue; }

void xap::SetXapTarget(const std::string& value) {
  g_.XapTargetValue = value;
  RebuildHeartbeatText();
}
const std::string& xap::XapTarget() const { return g_.XapTargetValue; }

void xap::SetXapClass(const std::string& value) { g_.XapClassValue = value; }
const std::string& xap::XapClass() const { return g_.XapClassValue; }

void xap::TakeRole(std::string_view role) {
  g_.HubRole = role;
  UseIdentityOf(role);
}

void xap::UseIdentityOf(std::string_view role) {
  const bool primary = role == kRolePrimary;
  SetXapSource(std::string(primary ? kPrimarySourcePrefix : kBackupSourcePrefix) + g_.ComputerName);
  SetXapUID(std::string(primary ? kPrimaryUid : kBackupUid));
}

void xap::RebuildHeartbeatText() {
  HeartbeatText_ = ReplaceAll("xap-hbeat|{|v=12|hop=1|uid=" + g_.XapUidValue + "|class=xap-hbeat.alive|source=" +
                                  g_.XapSourceValue + "|interval=",
                              "|", "\n");
}

// --- Receive path -----------------------------------------------------------

void xap::OnHubPortArrival(const Datagram& d) {
  // The hub's own broadcasts come back on the network side. On a computer with
  // loopback only they come back on the loopback side, and taking them would
  // make the hub relay its own messages to itself for ever.
  bool loopback_side = d.to_address.starts_with("127.");
  bool own = d.from_port == ClientPort_ && d.from_address == g_.LocalAddress;
  if (own && (!loopback_side || g_.LocalAddress == kLoopbackAddress)) return;
  ProcessReceivedMessage(d.from_address, d.text);
}

void xap::OnClientArrival(const Datagram& d) { ProcessReceivedMessage(d.from_address, d.text); }

void xap::ProcessReceivedMessage(const std::string& sender, const std::string& text) {
  const std::uint32_t now = g_.Sys.clock.TickCount();
  try {
    if (static_cast<std::uint32_t>(now - LastTick) >= kRepeatWindowMs) {
      LastMessage = text;
    } else if (text == LastMessage) {
      Increment(g_.DuplicateCount);
      LastTick = now;
      return;
    } else {
      LastMessage = text;
    }
    Enqueue(sender, text);
  } catch (...) {
    LogCurrentException(g_, "ProcessReceivedMessage");
  }
  LastTick = now;
}

void xap::Enqueue(const std::string& sender, const std::string& text) {
  std::string entry;
  entry.reserve(kSenderWidth + text.size());
  entry.append(kSenderWidth > sender.size() ? kSenderWidth - sender.size() : 0, ' ');
  entry += sender;
  entry += text;
  ReceiveQueue.push_back(std::move(entry));
  ReceiveTimer_->SetInterval(kReceiveDeferralMs);
  ReceiveTimer_->SetEnabled(true);
}

void xap::OnReceiveTimer() {
  ReceiveTimer_->SetEnabled(false);
  if (Callback) Callback->onMessage();
}

std::string xap::GetMessage() {
  if (ReceiveQueue.empty()) return "";
  std::string entry = std::move(ReceiveQueue.front());
  ReceiveQueue.pop_front();
  return entry;
}

int xap::Forward(const std::string& port, std::string_view message) {
  std::optional<std::int32_t> number = LeadingInt32(port);
  if (!number) return EOVERFLOW;
  return ForwardAll({{message, *number}}).front();
}

std::vector<int> xap::ForwardAll(const std::vector<Delivery>& deliveries) {
  Winsock4->SetRemote(std::string(kLoopbackAddress), 0);
  return Winsock4->SendToPorts(deliveries);
}

// --- Port claim, roles and heartbeat -----------------------------------------

std::string xap::ChooseLocalAddress() {
  // Without a host name or an interface address the hub still serves the
  // applications of this computer through loopback.
  const std::string loopback(kLoopbackAddress);
  if (!g_.Sys.host.HostName()) return loopback;
  std::optional<std::vector<std::string>> addresses = g_.Sys.host.Ipv4Addresses();
  if (!addresses || addresses->empty()) return loopback;
  for (const std::string& a : *addresses) {
    if (MatchesInterface(InterfaceAddress, a)) return a;
  }
  return addresses->front();
}

bool xap::PermitBroadcast(UdpEndpoint& ep, int number) {
  int err = ep.SetBroadcast(true);
  if (err != 0) {
    WriteLogFile(g_, "Tessaly", "Unable to set Winsock " + Dec(number) + " to broadcast " + Dec(err));
    return false;
  }
  if (ep.GetBroadcast() != 1) {
    WriteLogFile(g_, "Tessaly", "broadcast not allowed for Winsock " + Dec(number));
    return false;
  }
  return true;
}

void xap::ChooseBroadcast() {
  BroadcastInUse_ = EqualsNoCase(BroadcastAddress, "default") ? "255.255.255.255" : BroadcastAddress;
  if (g_.LocalAddress == kLoopbackAddress) BroadcastInUse_ = kLoopbackAddress;
}

bool xap::ClaimHubPort() {
  ChooseBroadcast();
  if (Winsock1->Bind("0.0.0.0", kHubPort) != 0) return false;
  if (!PermitBroadcast(*Winsock1, 1)) {
    Winsock1->Close();
    return false;
  }
  WriteLogFile(g_, "Backup Hub Process " + Dec(g_.MyPid), "Starting as Primary Hub on port 3639 " + g_.LocalAddress);
  return true;
}

bool xap::BindClientPort(std::int32_t port) {
  bool ok = Winsock4->Bind(std::string(kLoopbackAddress), port) == 0 && PermitBroadcast(*Winsock4, 4);
  if (ok && g_.LocalAddress == kLoopbackAddress) return true;
  if (ok) ok = Winsock3->Bind(g_.LocalAddress, port) == 0 && PermitBroadcast(*Winsock3, 3);
  if (ok) return true;
  Winsock3->Close();
  Winsock4->Close();
  return false;
}

void xap::StartBackup() {
  std::optional<std::int32_t> pid = g_.Sys.processes.StartHidden(g_.ExePath);
  g_.PartnerPid = pid.value_or(0);
  if (!pid) g_.Err.Set(0, "Unable to start " + g_.ExePath);
}

std::int32_t xap::Init() {
  bool primary = false;
  // Without an address of its own the hub still serves this computer.
  g_.LocalAddress = kLoopbackAddress;
  PassOverFailure(g_.Err, [&] { g_.LocalAddress = ChooseLocalAddress(); });
  PassOverFailure(g_.Err, [&] { primary = ClaimHubPort(); });
  if (primary) {
    g_.HubRole = kRolePrimary;
  } else {
    PassOverFailure(g_.Err, [&] { TakeRole(kRoleBackup); });
  }
  ClientPort_ = kFirstClientPort;
  PassOverFailure(g_.Err, [&] { FindClientPort(); });
  // The backup starts once the primary holds its client port, so the
  // primary always has the first free port and its backup the next.
  if (primary && g_.BackupWanted) {
    PassOverFailure(g_.Err, [&] {
      WriteLogFile(g_, "Starting Backup Hub from Process " + Dec(g_.MyPid), "");
      StartBackup();
      WriteLogFile(g_,
                   "Primary Hub Process " + Dec(g_.MyPid) + " Starting Backup Hub with Process " +
                       Dec(g_.PartnerPid),
                   "");
    });
  }
  HeartbeatTail_ = "\nport=" + Dec(ClientPort_) + "\n}\n";
  return ClientPort_;
}

UdpEndpoint& xap::NetworkSender() { return g_.LocalAddress == kLoopbackAddress ? *Winsock4 : *Winsock3; }

void xap::FindClientPort() {
  ClientPort_ = kFirstClientPort;
  for (int attempt = 0; attempt < kClientPortAttempts; ++attempt, ++ClientPort_) {
    if (BindClientPort(ClientPort_)) break;
  }
}

void xap::FollowAddressChange() {
  const std::optional<std::vector<std::string>> addresses = g_.Sys.host.Ipv4Addresses();
  if (!addresses) return;
  const bool ours = g_.LocalAddress == kLoopbackAddress
                        ? addresses->empty()
                        : std::find(addresses->begin(), addresses->end(), g_.LocalAddress) != addresses->end();
  if (ours) return;
  const std::string previous = g_.LocalAddress;
  g_.LocalAddress = ChooseLocalAddress();
  if (g_.LocalAddress == previous) return;
  // The client port stays when it can, so that the heartbeat keeps its port.
  const std::int32_t port = ClientPort_;
  Winsock3->Close();
  Winsock4->Close();
  if (!BindClientPort(port)) FindClientPort();
  HeartbeatTail_ = "\nport=" + Dec(ClientPort_) + "\n}\n";
  ChooseBroadcast();
  WriteLogFile(g_, "Tessaly", "Address changed from " + previous + " to " + g_.LocalAddress);
  LogXapEvent(g_, "Tessaly", "Address changed from " + previous + " to " + g_.LocalAddress);
}

void xap::SendHeartbeat(std::int32_t LongInterval) {
  std::int32_t seconds = LongInterval;
  if (LongInterval > 60) {
    seconds = 60;
  } else if (LongInterval < 1) {
    seconds = 0;
  } else if (LongInterval < 5) {
    seconds = 5;
  }
  PassOverFailure(g_.Err, [&] {
    HBeatTimer_->SetInterval(static_cast<std::uint32_t>(seconds) * 1000u);
    HBeatTimer_->SetEnabled(seconds >= 1);
  });
  PassOverFailure(g_.Err, [&] { FollowAddressChange(); });
  PassOverFailure(g_.Err, [&] { TakeOver(); });
  PassOverFailure(g_.Err, [&] {
    UdpEndpoint& ep = NetworkSender();
    ep.SetRemote(BroadcastInUse_, kHubPort);
    ep.Send(HeartbeatText_ + Dec(seconds) + HeartbeatTail_);
  });
}

void xap::TakeOver() {
  if (g_.HubRole == kRolePrimary || !ClaimHubPort()) return;
  TakeRole(kRolePrimary);
  if (g_.BackupWanted) {
    PassOverFailure(g_.Err, [&] {
      StartBackup();
      WriteLogFile(g_,
                   "Process " + Dec(g_.MyPid) + " Claimed port 3639 and Starting Backup Hub with Process " +
                       Dec(g_.PartnerPid),
                   "");
    });
  }
  if (!g_.NoTray) g_.TrayForm.ShowTray();
}

void xap::OnHBeatTimer() {
  SendHeartbeat(static_cast<std::int32_t>(RoundHalfEven(HBeatTimer_->Interval() / 1000.0)));
}

// --- Outgoing messages -------------------------------------------------------

void xap::SendXap(const std::string& target, const std::string& xap_class, const std::string& section,
                  const std::string& data, const std::string& source, const std::string& sub_address,
                  const std::string& uid) {
  std::string text;
  PassOverFailure(g_.Err, [&] {
    const std::string& from = source.empty() ? g_.XapSourceValue : source;
    XapMessage message(g_.HeaderTemplate, log_);
    message.msgClass = xap_class;
    message.msgSource = sub_address.empty() ? from : from + ":" + sub_address;
    message.msgTarget = target;
    message.msgUID = uid.empty() ? g_.XapUidValue : uid;
    message.AddHeader();
    message.AddSection(section);
    if (!data.empty()) {
      for (const std::string& item : Split(data, std::string_view("\0", 1))) {
        std::size_t one = item.find('\1');
        if (one == std::string::npos) continue;
        message.AddItem(section, item.substr(0, one), item.substr(one + 1));
      }
    }
    text = message.ToXap();
    UdpEndpoint& ep = NetworkSender();
    ep.SetRemote(BroadcastInUse_, kHubPort);
    ep.Send(text);
  });
  PassOverFailure(g_.Err, [&] { Enqueue(g_.LocalAddress, text); });
}

}  // namespace tessaly
