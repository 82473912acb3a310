// The program's shared state: one object, made once by the program and as
// often as they like by tests. Member names are the names the whole code base
// uses for this state. What belongs to one subsystem alone (the transport, the
// client registry, the device list, the xPL tables) lives in that subsystem's
// own object instead.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/host.h"
#include "platform/processes.h"
#include "platform/status_view.h"
#include "state/errors.h"
#include "state/out_queue.h"
#include "state/tray_icon.h"

namespace tessaly {

// The system services the core reaches through its seams.
struct Platform {
  Clock& clock;
  EventLoop& loop;
  Host& host;
  Processes& processes;
};

// How many log lines the current minute has left; see WriteLogFile.
struct LogBudget {
  std::uint32_t window_start = 0;
  std::int32_t written = 0;
  std::int32_t dropped = 0;
};

struct Globals {
  explicit Globals(Platform platform) : Sys(platform) {}
  Globals(const Globals&) = delete;
  Globals& operator=(const Globals&) = delete;

  Platform Sys;
  PendingError Err;
  LogBudget LogLines;
  // Gets every log file line as well, when set (standard error of a hub run
  // in the foreground or as a service).
  std::function<void(const std::string&)> LogMirror;

  // Transport: the chosen address, the role and the identity it sends under.
  std::string LocalAddress;
  std::string HubRole;
  std::string XapSourceValue;
  std::string XapUidValue;
  std::string XapTargetValue;
  std::string XapClassValue;
  std::string HeaderTemplate;

  // Outbound queue: messages wait here until HubStarted, then go to XapLink.
  bool HubStarted = false;
  std::deque<xapQueuedMessage> OutQueue;
  XapSender* XapLink = nullptr;

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

  // The desktop front end; without a display neither shows anything. The
  // status window is written only while TrafficView is true.
  bool TrafficView = false;
  std::unique_ptr<StatusView> StatusForm = std::make_unique<NullStatusView>();
  TrayIcon TrayForm{*this};
};

}  // namespace tessaly
