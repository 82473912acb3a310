// The status window "XAP - XPL - HUB Activity" on Qt.
//
// The relay may write a message, the counters and the report thousands of
// times a second; the window keeps only the latest of each and paints them a
// few times a second, so that neither a flood nor a large message can hold up
// the hub or freeze the window. All network text is shown as plain text.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>
#include <QWidget>

#include <array>
#include <string>

#include "platform/status_view.h"

namespace tessaly {

class StatusWindow final : public QWidget, public StatusView {
 public:
  StatusWindow();

  void Show() override;
  void Close() override;
  void SetClosedHandler(std::function<void()> handler) override;
  void SetOption(StatusOption box, int state) override;
  int Option(StatusOption box) const override;
  void SetIdentity(const StatusIdentity& identity) override;
  void SetMessageText(const std::string& text) override;
  void SetCount(int index, std::int32_t value) override;
  void SetConnections(const std::string& report) override;

  // Puts what was written since the last repaint into the controls (the
  // repaint timer calls it; tests call it to look at once).
  void Refresh();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  std::array<QCheckBox*, kStatusOptionCount> boxes_{};
  QLabel* my_pid_;
  QLabel* lan_ip_;
  QLabel* backup_pid_;
  QLabel* version_;
  std::array<QLabel*, 4> counts_{};
  QPlainTextEdit* connections_;
  QPlainTextEdit* message_;
  QTimer repaint_;
  std::function<void()> closed_;

  std::string message_text_;
  std::string connections_text_;
  std::array<std::int32_t, 4> count_values_{};
  bool message_dirty_ = false;
  bool connections_dirty_ = false;
  bool counts_dirty_ = false;
};

}  // namespace tessaly
