// The icon in the desktop's notification area, as the desktop offers it: one
// icon to add, change or delete, the mouse codes that come back, and a popup
// menu at the pointer.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tessaly {

// The two pictures of the icon: normal (`Image1`) and activity (`Image2`).
enum class TrayImage { kNormal, kActivity };

// Mouse codes of the icon: button down, up and double click, left then right.
inline constexpr int kLeftButtonDown = 513;
inline constexpr int kLeftButtonUp = 514;
inline constexpr int kLeftDoubleClick = 515;
inline constexpr int kRightButtonDown = 516;
inline constexpr int kRightButtonUp = 517;
inline constexpr int kRightDoubleClick = 518;
inline constexpr int kMiddleButtonUp = 520;

class NotifyIcon {
 public:
  virtual ~NotifyIcon() = default;

  // False when the desktop has no notification area to put an icon in.
  virtual bool Available() = 0;

  virtual void Add(TrayImage image, const std::string& tooltip) = 0;
  virtual void Modify(TrayImage image, const std::string& tooltip) = 0;
  virtual void Delete() = 0;

  // Receives the mouse code of every click on the icon.
  virtual void SetMouseHandler(std::function<void(int code)> handler) = 0;

  // Opens a menu of `captions` ("-" is a separator) at the pointer and waits,
  // serving the program's events meanwhile, until the user chooses an item
  // (its index) or dismisses the menu (-1).
  virtual int PopupMenu(const std::vector<std::string>& captions) = 0;
};

}  // namespace tessaly
