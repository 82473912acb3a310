// The program's shared state: one object, made once by the program and as
// often as they like by tests. Member names are the names the whole code base
// uses for this state.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "app/status_view.h"
#include "bridge/bsc_devices.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/host.h"
#include "platform/processes.h"
#include "relay/router.h"

namespace tessaly {

class xap;
struct xapQueuedMessage;

// The system services the core reaches through its seams.
struct Platform {
  Clock& clock;
  EventLoop& loop;
  Host& host;
  Processes& processes;
};

// The failure an error handler is dealing with: consumed by the loggers.
struct PendingError {
  std::int32_t line = 0;
  std::string description;

  void Set(std::int32_t at_line, std::string text) {
    line = at_line;
    description = std::move(text);
  }
  // Records the exception being handled (call inside a catch block).
  void SetFromCurrentException();
  void Clear() { *this = PendingError{}; }
};

// How many log lines the current minute has left; see WriteLogFile.
struct LogBudget {
  std::uint32_t window_start = 0;
  std::int32_t written = 0;
  std::int32_t dropped = 0;
};

struct Globals {
  explicit Globals(Platform platform);
  ~Globals();
  Globals(const Globals&) = delete;
  Globals& operator=(const Globals&) = delete;

  Platform Sys;
  PendingError Err;
  LogBudget LogLines;

  // Transport.
  std::unique_ptr<xap> XapLink;
  std::string LocalAddress;
  std::string HubRole;
  std::string XapSourceValue;
  std::string XapUidValue;
  std::string XapTargetValue;
  std::string XapClassValue;
  std::string HeaderTemplate;

  // Outbound queue.
  bool HubStarted = false;
  std::deque<xapQueuedMessage> OutQueue;

  // Local xAP clients.
  RouterCollection Routers;

  // Traffic counters.
  std::int32_t InboundCount = 0;
  std::int32_t ForwardCount = 0;
  std::int32_t DuplicateCount = 0;

  // Options.
  bool BackupWanted = false;
  bool NoTray = false;
  bool XplHub = false;
  bool XplToXap = false;
  bool XapToXpl = false;
  bool XplBsc = false;
  bool AnyXpl = false;

  // Processes.
  std::int32_t MyPid = 0;
  std::int32_t PartnerPid = 0;

  // Environment.
  std::string AppPath;
  std::string ExePath;
  std::string ComputerName;
  std::string ComputerNameCache;
  std::string InterfaceSetting = "Default";
  std::string BroadcastSetting = "Default";

  // Status window: written only while TrafficView is true.
  bool TrafficView = false;
  std::unique_ptr<StatusView> StatusForm = std::make_unique<NullStatusView>();

  // Bridge.
  BscDeviceList BscDevices;

  // The desktop front end: show and remove the notification-area icon, close
  // the status window. Without a display they do nothing.
  std::function<void()> ShowTray = [] {};
  std::function<void()> HideTray = [] {};
  std::function<void()> CloseStatusWindow = [] {};
};

}  // namespace tessaly
