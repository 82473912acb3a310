// The hub's icon in the notification area (`TrayForm`): the one icon shown,
// changed or removed, its flash timer, and the clicks passed on to the hub.
// Without a desktop it has no icon to drive and every call does nothing.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/notify_icon.h"
#include "platform/timer.h"

namespace tessaly {

struct Globals;

class TrayIcon {
 public:
  explicit TrayIcon(Globals& g);
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // The desktop's notification icon, once there is a desktop.
  void SetNotifyIcon(std::unique_ptr<NotifyIcon> icon);

  // Receives the button codes 513..518 of clicks on the icon; a click that
  // comes while the previous one is still being handled (its menu open) is
  // ignored, and a failure of the callback is passed over.
  void SetCallback(std::function<void(int code)> callback);

  // Shows the icon with `img`, or changes the one shown; or removes it
  // (`IconOn` false), which does nothing when it is not shown.
  void Update(bool IconOn, TrayImage img);

  // Shows the icon with its normal picture and the tooltip "XAP Hub". On a
  // desktop without a notification area it says so in the log, once; the
  // icon appears if one comes later.
  void ShowTray();
  void HideTray() { Update(false, TrayImage::kNormal); }

  // Shows the activity picture for 200 ms.
  void SwapIcons();

  // The menu at the pointer; the chosen index or -1.
  int PopupMenu(const std::vector<std::string>& captions);

 private:
  void OnMouse(int code);
  void Timer1_timer();

  Globals& g_;
  std::unique_ptr<NotifyIcon> icon_;
  std::function<void(int)> callback_;
  std::unique_ptr<Timer> Timer1_;
  std::string caption_;
  bool shown_ = false;
  bool busy_ = false;
  bool said_unavailable_ = false;
};

}  // namespace tessaly
