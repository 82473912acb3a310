#include "state/tray_icon.h"

#include "state/errors.h"
#include "state/globals.h"
#include "state/log_file.h"

namespace tessaly {

TrayIcon::TrayIcon(Globals& g) : g_(g), Timer1_(g.Sys.loop.CreateTimer([this] { Timer1_timer(); })) {}

TrayIcon::~TrayIcon() = default;

void TrayIcon::SetNotifyIcon(std::unique_ptr<NotifyIcon> icon) {
  icon_ = std::move(icon);
  if (icon_) icon_->SetMouseHandler([this](int code) { OnMouse(code); });
}

void TrayIcon::SetCallback(std::function<void(int)> callback) { callback_ = std::move(callback); }

void TrayIcon::Update(bool IconOn, TrayImage img) {
  if (!icon_) return;
  if (!IconOn) {
    if (shown_) icon_->Delete();
    shown_ = false;
    return;
  }
  if (shown_) {
    icon_->Modify(img, caption_);
  } else {
    icon_->Add(img, caption_);
  }
  shown_ = true;
}

void TrayIcon::ShowTray() {
  if (!icon_) return;
  // The icon is shown all the same: it appears when a notification area
  // does (a panel that starts after the hub).
  if (!icon_->Available() && !said_unavailable_) {
    WriteLogFile(g_, "Tessaly", "No notification area on this desktop: the tray icon shows when one appears");
    said_unavailable_ = true;
  }
  caption_ = "XAP Hub";
  Timer1_timer();
}

void TrayIcon::SwapIcons() {
  Timer1_->SetInterval(200);
  Timer1_->SetEnabled(true);
  Update(true, TrayImage::kActivity);
}

void TrayIcon::Timer1_timer() {
  Update(true, TrayImage::kNormal);
  Timer1_->SetEnabled(false);
}

int TrayIcon::PopupMenu(const std::vector<std::string>& captions) {
  return icon_ ? icon_->PopupMenu(captions) : -1;
}

void TrayIcon::OnMouse(int code) {
  if (busy_) return;
  busy_ = true;
  if (code >= kLeftButtonDown && code <= kRightDoubleClick && callback_) {
    try {
      callback_(code);
    } catch (...) {
      LogCurrentException(g_, "TrayIcon");
    }
  }
  busy_ = false;
}

}  // namespace tessaly
