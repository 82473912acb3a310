// The hub's icon in the desktop's notification area.
#pragma once

namespace tessaly {

class NotifyIcon {
 public:
  virtual ~NotifyIcon() = default;

  // Shows the icon; when it is already shown, refreshes the one icon.
  virtual void ShowTray() = 0;
  // Removes the icon; nothing when it is not shown.
  virtual void HideTray() = 0;
};

// A hub without a display, or with NoTray: no icon.
class NullNotifyIcon : public NotifyIcon {
 public:
  void ShowTray() override {}
  void HideTray() override {}
};

}  // namespace tessaly
