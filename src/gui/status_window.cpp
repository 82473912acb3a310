#include "gui/status_window.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace tessaly {
namespace {

constexpr int kRepaintMs = 250;

// The captions of the option boxes, in the order of StatusOption.
constexpr const char* kOptionCaptions[kStatusOptionCount] = {
    "No Backup Hub", "No Tray Icon", "Translate XPL Schema", "Serve as xPL Hub", "Forward XPL to xAP",
    "Forward xAP to xPL"};
constexpr const char* kCountCaptions[4] = {"Received", "Forwarded", "Duplicates", "xAP Nodes"};

QLabel* PlainLabel(const QString& text = {}) {
  auto* label = new QLabel(text);
  label->setTextFormat(Qt::PlainText);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

QPlainTextEdit* PlainBox() {
  auto* box = new QPlainTextEdit;
  box->setReadOnly(true);
  box->setLineWrapMode(QPlainTextEdit::NoWrap);
  box->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  return box;
}

// The relay's "\r\n" line ends are line breaks to the box too.
QString Lines(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

StatusWindow::StatusWindow() {
  setWindowTitle(QStringLiteral("XAP - XPL - HUB Activity"));
  setAttribute(Qt::WA_QuitOnClose, false);

  auto* identity = new QFormLayout;
  identity->addRow(QStringLiteral("My PID"), my_pid_ = PlainLabel());
  identity->addRow(QStringLiteral("LAN IP"), lan_ip_ = PlainLabel());
  identity->addRow(QStringLiteral("Backup PID"), backup_pid_ = PlainLabel());
  identity->addRow(version_ = PlainLabel());
  version_->setObjectName(QStringLiteral("aVersion"));

  auto* counters = new QFormLayout;
  for (int i = 0; i < 4; ++i) {
    counters->addRow(QString::fromLatin1(kCountCaptions[i]), counts_[i] = PlainLabel(QStringLiteral("0")));
    counts_[i]->setObjectName(QStringLiteral("aCount%1").arg(i));
  }

  auto* options = new QGroupBox(QStringLiteral("Start-up options"));
  auto* option_grid = new QGridLayout(options);
  for (int i = 0; i < kStatusOptionCount; ++i) {
    QCheckBox* box = boxes_[i] = new QCheckBox(QString::fromLatin1(kOptionCaptions[i]));
    // A greyed box comes only from the file; a click makes it an ordinary box.
    connect(box, &QCheckBox::stateChanged, box, [box](int state) {
      if (state != Qt::PartiallyChecked) box->setTristate(false);
    });
    option_grid->addWidget(box, i / 2, i % 2);
  }

  auto* top = new QHBoxLayout;
  top->addLayout(identity);
  top->addLayout(counters);
  top->addWidget(options, 1);

  auto* heading = PlainLabel(QStringLiteral("Count  |  Port     |  Target"));
  heading->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  connections_ = PlainBox();
  connections_->setObjectName(QStringLiteral("aConnections"));
  message_ = PlainBox();
  message_->setObjectName(QStringLiteral("aMessage"));

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(heading);
  layout->addWidget(connections_, 1);
  layout->addWidget(message_, 2);
  resize(760, 560);

  repaint_.setInterval(kRepaintMs);
  connect(&repaint_, &QTimer::timeout, this, &StatusWindow::Refresh);
}

void StatusWindow::Show() {
  Refresh();
  show();
  raise();
  activateWindow();
  repaint_.start();
}

void StatusWindow::Close() {
  repaint_.stop();
  hide();
}

void StatusWindow::SetClosedHandler(std::function<void()> handler) { closed_ = std::move(handler); }

void StatusWindow::SetOption(StatusOption box, int state) {
  QCheckBox* check = boxes_[static_cast<int>(box)];
  check->setTristate(state == kBoxGreyed);
  check->setCheckState(state == kBoxGreyed   ? Qt::PartiallyChecked
                       : state == kBoxTicked ? Qt::Checked
                                             : Qt::Unchecked);
}

int StatusWindow::Option(StatusOption box) const {
  switch (boxes_[static_cast<int>(box)]->checkState()) {
    case Qt::Checked:
      return kBoxTicked;
    case Qt::PartiallyChecked:
      return kBoxGreyed;
    default:
      return kBoxClear;
  }
}

void StatusWindow::SetIdentity(const StatusIdentity& identity) {
  my_pid_->setText(QString::fromStdString(identity.aMyPID));
  lan_ip_->setText(QString::fromStdString(identity.aLANIP));
  backup_pid_->setText(QString::fromStdString(identity.aPID));
  version_->setText(QString::fromStdString(identity.aVersion));
}

void StatusWindow::SetMessageText(const std::string& text) {
  message_text_ = text;
  message_dirty_ = true;
}

void StatusWindow::SetCount(int index, std::int32_t value) {
  if (index < 0 || index >= 4) return;
  count_values_[index] = value;
  counts_dirty_ = true;
}

void StatusWindow::SetConnections(const std::string& report) {
  connections_text_ = report;
  connections_dirty_ = true;
}

void StatusWindow::Refresh() {
  if (message_dirty_) message_->setPlainText(Lines(message_text_));
  if (connections_dirty_) connections_->setPlainText(Lines(connections_text_));
  if (counts_dirty_) {
    for (int i = 0; i < 4; ++i) counts_[i]->setText(QString::number(count_values_[i]));
  }
  message_dirty_ = connections_dirty_ = counts_dirty_ = false;
}

void StatusWindow::closeEvent(QCloseEvent* event) {
  repaint_.stop();
  event->accept();
  if (closed_) closed_();
}

}  // namespace tessaly
