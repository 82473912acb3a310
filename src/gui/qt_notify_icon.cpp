#include "gui/qt_notify_icon.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>

namespace tessaly {

QtNotifyIcon::QtNotifyIcon() : normal_(":/icons/hub-normal.png"), activity_(":/icons/hub-activity.png") {
  connect(&icon_, &QSystemTrayIcon::activated, this, &QtNotifyIcon::OnActivated);
  click_.setSingleShot(true);
  connect(&click_, &QTimer::timeout, this, [this] {
    if (handler_) handler_(pending_);
  });
}

bool QtNotifyIcon::Available() { return QSystemTrayIcon::isSystemTrayAvailable(); }

void QtNotifyIcon::Add(TrayImage image, const std::string& tooltip) {
  Modify(image, tooltip);
  icon_.show();
}

void QtNotifyIcon::Modify(TrayImage image, const std::string& tooltip) {
  icon_.setIcon(image == TrayImage::kNormal ? normal_ : activity_);
  icon_.setToolTip(QString::fromStdString(tooltip));
}

void QtNotifyIcon::Delete() { icon_.hide(); }

void QtNotifyIcon::SetMouseHandler(std::function<void(int)> handler) { handler_ = std::move(handler); }

int QtNotifyIcon::PopupMenu(const std::vector<std::string>& captions) {
  QMenu menu;
  for (std::size_t i = 0; i < captions.size(); ++i) {
    if (captions[i] == "-") {
      menu.addSeparator();
    } else {
      menu.addAction(QString::fromStdString(captions[i]))->setData(static_cast<int>(i));
    }
  }
  // Right-aligned to the pointer: an icon in a panel's right corner keeps its
  // menu on the screen.
  QPoint at = QCursor::pos();
  at.rx() -= menu.sizeHint().width();
  const QAction* chosen = menu.exec(at);
  return chosen ? chosen->data().toInt() : -1;
}

void QtNotifyIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
  if (!handler_) return;
  switch (reason) {
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::Context:
      pending_ = reason == QSystemTrayIcon::Trigger ? kLeftButtonUp : kRightButtonUp;
      click_.start(QApplication::doubleClickInterval());
      break;
    case QSystemTrayIcon::DoubleClick:
      handler_(kLeftDoubleClick);
      break;
    case QSystemTrayIcon::MiddleClick:
      handler_(kMiddleButtonUp);
      break;
    default:
      break;
  }
}

}  // namespace tessaly
