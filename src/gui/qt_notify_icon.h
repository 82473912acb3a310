// The notification icon on Qt: a QSystemTrayIcon (XEmbed or
// StatusNotifierItem, as the desktop offers) and the popup menu.
//
// Qt reports clicks as activation reasons, not button codes: a left click
// arrives as Trigger, a right click as Context, a double click as Trigger
// then DoubleClick. They become the codes of the button releases (514, 517)
// and of the double click (515). Qt reports Trigger and Context when the
// button goes down; a menu opened then would take the second press of a
// double click for a press outside it and close. So a click is passed on once
// the double-click time is over: after the release, and after the double
// click if one comes, which then opens the menu once. No context menu is
// given to Qt: it would open a second menu on a right click.
#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include "platform/notify_icon.h"

namespace tessaly {

class QtNotifyIcon final : public QObject, public NotifyIcon {
 public:
  QtNotifyIcon();

  bool Available() override;
  void Add(TrayImage image, const std::string& tooltip) override;
  void Modify(TrayImage image, const std::string& tooltip) override;
  void Delete() override;
  void SetMouseHandler(std::function<void(int code)> handler) override;
  int PopupMenu(const std::vector<std::string>& captions) override;

 private:
  void OnActivated(QSystemTrayIcon::ActivationReason reason);

  QSystemTrayIcon icon_;
  QIcon normal_;
  QIcon activity_;
  std::function<void(int)> handler_;
  QTimer click_;
  int pending_ = 0;
};

}  // namespace tessaly
