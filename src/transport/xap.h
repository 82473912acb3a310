// The xAP transport: the hub port, the client endpoints, the receive queue,
// the hub's identity and heartbeat, and the primary/backup roles.
//
// Receive path. Every datagram becomes a queue entry (the sender's address
// right-aligned in 15 characters, then the text) unless it repeats the
// previous text within 100 ms. Arrivals only queue; the receiver's onMessage
// runs from ReceiveTimer, a 5 ms one-shot whose deadline a stream of arrivals
// cannot postpone, and drains the queue with GetMessage.
//
// Endpoints. The hub port is one socket bound to 0.0.0.0:3639 without address
// reuse, so its bind fails whenever anything holds the port: that is the
// signal to run as backup. Its arrivals addressed to 127.x are the loopback
// side (all taken); the others are the network side, where the hub's own
// broadcasts come back and are dropped. The client port (the first free one
// from 32768) is bound twice: LocalAddress (Winsock3, network sends) and
// 127.0.0.1 (Winsock4, delivery to local clients).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/timer.h"
#include "platform/udp_endpoint.h"
#include "state/event_log.h"
#include "state/hub_names.h"
#include "state/out_queue.h"

namespace tessaly {

struct Globals;

// The object told about new queue entries.
class MessageReceiver {
 public:
  virtual ~MessageReceiver() = default;
  virtual void onMessage() = 0;
};

class xap : public XapSender {
 public:
  static constexpr std::int32_t kHubPort = kXapHubPort;
  static constexpr int kClientPortAttempts = 200;

  // Creates the timers and endpoints, all idle; nothing is bound until Init.
  explicit xap(Globals& g);
  // Closes every endpoint and discards the queue.
  ~xap() override;
  xap(const xap&) = delete;
  xap& operator=(const xap&) = delete;

  // Identity, kept in the shared state (XapSourceValue...). Setting the
  // source or uid rebuilds the heartbeat; the uid also sets the header
  // template of composed messages.
  void SetXapSource(const std::string& value);
  const std::string& XapSource() const;
  void SetXapUID(const std::string& value);
  const std::string& XapUID() const;
  void SetXapTarget(const std::string& value);
  const std::string& XapTarget() const;
  void SetXapClass(const std::string& value);
  const std::string& XapClass() const;
  std::string BroadcastAddress = "Default";
  std::string InterfaceAddress = "Default";
  bool FilterHeartbeats = true;  // kept for the options; nothing acts on it

  // Sends as a hub of `role` (kRolePrimary or kRoleBackup) from now on: the
  // role's source (with ComputerName) and uid. The one place where the hub's
  // identity is chosen.
  void UseIdentityOf(std::string_view role);
  // HubRole := `role`, and its identity.
  void TakeRole(std::string_view role);

  // Chooses LocalAddress, claims the hub port or takes the backup role, binds
  // the client endpoints. Returns the client port. A failing step is passed
  // over and the next one runs.
  std::int32_t Init();

  // Sets the heartbeat timer from `LongInterval` seconds (above 60 -> 60,
  // 1..4 -> 5, below 1 -> off), follows a change of this computer's address,
  // lets a backup try the takeover, and sends one heartbeat. A failing step is passed over and the next one runs.
  void SendHeartbeat(std::int32_t LongInterval);

  void RegisterNewMessageCallback(MessageReceiver* receiver) { Callback = receiver; }

  // Removes and returns the oldest queue entry; "" when the queue is empty.
  std::string GetMessage();

  // Sends `message` from 127.0.0.1:ClientPort to 127.0.0.1 at the port whose
  // number leads `port`. Returns 0 or the send's error number.
  int Forward(const std::string& port, std::string_view message);
  // Forward of many messages, each to its port, in this order, in as few
  // system calls as the system allows; one result per delivery.
  std::vector<int> ForwardAll(const std::vector<Delivery>& deliveries);

  // Composes one message from a packed body (items separated by "\0", name
  // and value by the first "\1"), broadcasts it to port 3639 and queues a copy
  // for the hub's own relay. Never fails towards the caller; returns "".
  void SendXap(const std::string& target, const std::string& xap_class, const std::string& section,
               const std::string& data, const std::string& source, const std::string& sub_address,
               const std::string& uid) override;

  std::int32_t ClientPort() const { return ClientPort_; }
  const std::string& BroadcastInUse() const { return BroadcastInUse_; }
  std::size_t QueueLength() const { return ReceiveQueue.size(); }
  Timer& HBeatTimer() { return *HBeatTimer_; }
  Timer& ReceiveTimer() { return *ReceiveTimer_; }

 private:
  void OnHubPortArrival(const Datagram& d);
  void OnClientArrival(const Datagram& d);
  void ProcessReceivedMessage(const std::string& sender, const std::string& text);
  void Enqueue(const std::string& sender, const std::string& text);
  void OnReceiveTimer();
  void OnHBeatTimer();

  std::string ChooseLocalAddress();
  void ChooseBroadcast();
  bool ClaimHubPort();
  // Binds the client endpoints on the first free port from kFirstClientPort.
  void FindClientPort();
  // A hub runs for months: when LocalAddress is no longer an address of this
  // computer, or a network address has appeared on a loopback-only hub, the
  // address is chosen again and the client endpoints are bound to it; the
  // change is logged and sent as an event. Clients register again with their
  // next heartbeat.
  void FollowAddressChange();
  bool PermitBroadcast(UdpEndpoint& ep, int number);
  bool BindClientPort(std::int32_t port);
  void StartBackup();
  // A backup that can claim the hub port becomes the primary.
  void TakeOver();
  void RebuildHeartbeatText();
  // The endpoint the hub's own network sends leave from.
  UdpEndpoint& NetworkSender();

  Globals& g_;
  LogFileReporter log_;
  std::unique_ptr<UdpEndpoint> Winsock1;  // hub port, 0.0.0.0:3639 (also plays Winsock2)
  std::unique_ptr<UdpEndpoint> Winsock3;  // LocalAddress:ClientPort
  std::unique_ptr<UdpEndpoint> Winsock4;  // 127.0.0.1:ClientPort
  std::unique_ptr<Timer> HBeatTimer_;
  std::unique_ptr<Timer> ReceiveTimer_;

  std::string BroadcastInUse_;
  std::int32_t ClientPort_ = 0;
  std::deque<std::string> ReceiveQueue;
  MessageReceiver* Callback = nullptr;
  std::string LastMessage;
  std::uint32_t LastTick = 0;
  std::string HeartbeatText_;
  std::string HeartbeatTail_;
};

// "xap-header\n{\nv=12\nhop=1\nuid=": the start of every composed header.
std::string MakeHeaderTemplate();

// True when every byte of the dotted address lies within the pattern's mask.
bool MatchesInterface(const std::string& pattern, const std::string& address);

}  // namespace tessaly
