// The desktop module: the one symbol the program looks up, and the desktop
// it makes.
#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QLibraryInfo>

#include <cstdlib>

#include "gui/qt_event_loop.h"
#include "gui/qt_notify_icon.h"
#include "gui/status_window.h"
#include "platform/desktop.h"

namespace tessaly {
namespace {

class QtDesktop final : public Desktop {
 public:
  QtDesktop(int& argc, char** argv, EventLoop& inner, DrivenLoop& driven) : app_(argc, argv), loop_(inner, driven) {
    QApplication::setApplicationName(QStringLiteral("Tessaly"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/hub-normal.png")));
    // The hub runs on with its window closed.
    QApplication::setQuitOnLastWindowClosed(false);
  }

  EventLoop& Loop() override { return loop_; }
  std::unique_ptr<NotifyIcon> CreateNotifyIcon() override { return std::make_unique<QtNotifyIcon>(); }
  std::unique_ptr<StatusView> CreateStatusView() override { return std::make_unique<StatusWindow>(); }

 private:
  QApplication app_;
  QtEventLoop loop_;
};

// Qt ends the process when it cannot start its platform plugin, so the
// plugin must exist before QApplication is made: X unless the user chose.
bool PlatformPluginPresent() {
  const char* chosen = std::getenv("QT_QPA_PLATFORM");
  const QString name = chosen && *chosen ? QString::fromLocal8Bit(chosen).section(':', 0, 0) : QStringLiteral("xcb");
  const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
  return !platforms.entryList({QStringLiteral("libq%1.so").arg(name)}).isEmpty();
}

}  // namespace
}  // namespace tessaly

extern "C" __attribute__((visibility("default"))) tessaly::Desktop* TessalyOpenDesktop(int* argc, char** argv,
                                                                                      tessaly::EventLoop* inner,
                                                                                      tessaly::DrivenLoop* driven) {
  try {
    if (!tessaly::PlatformPluginPresent()) return nullptr;
    return new tessaly::QtDesktop(*argc, argv, *inner, *driven);
  } catch (...) {
    return nullptr;
  }
}
