#include "ui/qt/qt_window_view.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>

#include "ui/qt/tile_colour.h"
#include "ui/update_window.h"

namespace quillon {
namespace {

constexpr int kPollMs = 100;
// The window opens at a size that shows every control; it may be enlarged
// or maximised, and the verdict tile grows with it.
constexpr int kOpeningWidth = 640;
constexpr int kOpeningHeight = 420;
constexpr int kMinimumWidth = 505;
constexpr int kMinimumHeight = 320;
// The tile never takes less than this share of the window's height.
constexpr int kTileShareOfHeight = 3;
// The longest verdict word the tile shows, in letters, for the font's size.
constexpr int kLongestVerdict = 12;  // "NOT ACCEPTED"

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

QtWindowView::QtWindowView() {
  setModal(true);
  setSizeGripEnabled(true);
  setWindowFlags(windowFlags() | Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint);
  auto add = [this](Control id, QWidget* widget) {
    widget->setParent(this);
    controls_[id] = widget;
    return widget;
  };
  deviceList_ = new QComboBox;
  auto* image = new QLineEdit;
  image->setReadOnly(true);
  auto* start = new QPushButton("Start");
  start->setAutoDefault(false);
  start->setMinimumSize(100, 58);
  auto* password = new QLineEdit;
  password->setEnabled(false);
  serialEntry_ = new QLineEdit;
  serialEntry_->setPlaceholderText("scan the serial number");
  result_ = new QLabel("N/A");
  result_->setObjectName("verdict");
  result_->setAlignment(Qt::AlignCenter);
  result_->setMinimumHeight(64);
  result_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  loopTotal_ = new QSpinBox;
  loopTotal_->setRange(0, INT_MAX);  // a negative count cannot be typed
  progress_ = new QProgressBar;
  progress_->setRange(0, 100);
  progress_->setTextVisible(false);

  auto* top = new QGridLayout;
  top->addWidget(add(Control::DeviceListLabel, new QLabel("N/A:")), 0, 0);
  top->addWidget(add(Control::DeviceList, deviceList_), 0, 1);
  top->addWidget(add(Control::ImageText, image), 1, 0, 1, 2);
  top->addWidget(add(Control::Start, start), 0, 2, 2, 1);
  top->setColumnStretch(1, 1);

  auto* version = new QHBoxLayout;
  version->addWidget(add(Control::GetVersion, new QPushButton("Get Version")));
  version->addWidget(add(Control::Browser, new QPushButton("Browser")));
  version->addWidget(add(Control::VersionText, new QLabel("Ver: ")), 1);
  version->addWidget(add(Control::ChipInfo, new QLabel("N/A")));
  version->addWidget(add(Control::PasswordEdit, password));
  version->addWidget(add(Control::Hidden1188, new QLabel("N/A")));

  auto* serial = new QHBoxLayout;
  serial->addWidget(new QLabel("Current SN:", this));
  serial->addWidget(add(Control::SerialText, new QLabel("Static")), 1);
  serial->addWidget(add(Control::SerialEntry, serialEntry_), 1);

  auto* status = new QHBoxLayout;
  status->addWidget(add(Control::StatusLabel, new QLabel("Status: ")));
  status->addWidget(add(Control::StatusText, new QLabel("Static")), 1);
  status->addWidget(add(Control::LoopLabel, new QLabel("Total")));
  status->addWidget(add(Control::LoopTotal, loopTotal_));
  status->addWidget(add(Control::LoopLeft, new QLabel("Left:")));

  auto* counts = new QHBoxLayout;
  counts->addWidget(add(Control::SessionCounts, new QLabel("")), 1);
  counts->addWidget(add(Control::UnitLocation, new QLabel("")), 1);

  auto* rows = new QVBoxLayout(this);
  rows->addLayout(top);
  rows->addLayout(version);
  rows->addLayout(serial);
  rows->addWidget(add(Control::Result, result_), 1);
  rows->addLayout(status);
  rows->addWidget(add(Control::Progress, progress_));
  rows->addLayout(counts);

  for (Control hidden : {Control::LoopLabel, Control::LoopTotal, Control::LoopLeft, Control::Browser,
                         Control::SerialEntry}) {
    controls_[hidden]->hide();
  }
  setMinimumSize(kMinimumWidth, kMinimumHeight);
  resize(kOpeningWidth, kOpeningHeight);
}

QtWindowView::~QtWindowView() = default;

void QtWindowView::Attach(CUvcCamDownload_Tessaro_VxproxyDlg* logic) {
  logic_ = logic;
  connect(static_cast<QPushButton*>(controls_[Control::Start]), &QPushButton::clicked, this, [this] {
    if (logic_ != nullptr) logic_->OnStart();
  });
  // The scanner's Enter after the serial number starts the run.
  connect(serialEntry_, &QLineEdit::returnPressed, this, [this] {
    if (logic_ != nullptr && !serialEntry_->text().isEmpty()) logic_->OnStart();
  });
  connect(deviceList_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (logic_ != nullptr && !fillingList_) logic_->OnDeviceListSelected(index);
  });
  poll_ = new QTimer(this);
  connect(poll_, &QTimer::timeout, this, [this] {
    if (logic_ != nullptr) logic_->PollDeviceEvents();
  });
  poll_->start(kPollMs);
}

QWidget* QtWindowView::Widget(Control control) const {
  auto found = controls_.find(control);
  return found == controls_.end() ? nullptr : found->second;
}

void QtWindowView::SetTitle(const std::string& title) { setWindowTitle(Q(title)); }

void QtWindowView::SetText(Control control, const std::string& text) {
  QWidget* widget = Widget(control);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(Q(text));
  } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    edit->setText(Q(text));
  } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
    button->setText(Q(text));
  } else if (widget == loopTotal_) {
    loopTotal_->setValue(QString::fromStdString(text).toInt());
  }
  if (widget == result_) ScaleTile();
}

std::string QtWindowView::Text(Control control) const {
  QWidget* widget = Widget(control);
  if (widget == loopTotal_) return loopTotal_->cleanText().toStdString();
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text().toStdString();
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text().trimmed().toStdString();
  return {};
}

void QtWindowView::SetVisible(Control control, bool visible) {
  if (QWidget* widget = Widget(control)) widget->setVisible(visible);
}

void QtWindowView::SetEnabled(Control control, bool enabled) {
  if (QWidget* widget = Widget(control)) widget->setEnabled(enabled);
}

void QtWindowView::SetProgress(int percent) { progress_->setValue(percent); }

void QtWindowView::SetResultColour(Rgb colour) { PaintTile(result_, colour); }

void QtWindowView::SetFocus(Control control) {
  if (QWidget* widget = Widget(control)) widget->setFocus(Qt::OtherFocusReason);
}

void QtWindowView::ApplyOpeningLayout() {
  QFont big = result_->font();
  big.setBold(true);
  result_->setFont(big);
  ScaleTile();
}

void QtWindowView::resizeEvent(QResizeEvent* event) {
  OperatorDialog::resizeEvent(event);
  result_->setMinimumHeight(std::max(64, height() / kTileShareOfHeight));
  ScaleTile();
}

void QtWindowView::ScaleTile() {
  // Letters as large as the tile allows: half its height, or the longest
  // verdict across its width.
  const int byHeight = result_->height() / 2;
  const int byWidth = result_->width() * 3 / (2 * kLongestVerdict);
  QFont font = result_->font();
  font.setPixelSize(std::max(24, std::min(byHeight, byWidth)));
  result_->setFont(font);
}

void QtWindowView::SetDeviceList(const std::vector<std::string>& entries, int selected) {
  fillingList_ = true;
  deviceList_->clear();
  for (const std::string& entry : entries) deviceList_->addItem(Q(entry));
  deviceList_->setCurrentIndex(selected);
  fillingList_ = false;
}

Answer QtWindowView::Ask(const std::string& text, const std::string& caption) { return AskQuestion(text, caption); }

void QtWindowView::ShowMessage(const std::string& text, const std::string& caption) {
  QMessageBox::information(this, Q(caption), Q(text));
}

bool QtWindowView::AskPassword(const std::string& title, std::string& text) {
  // The given title, an English label beside it, and the typing masked.
  QDialog box(this);
  box.setWindowTitle(Q(title));
  auto* rows = new QVBoxLayout(&box);
  rows->addWidget(new QLabel(Q(title), &box));
  rows->addWidget(new QLabel(kPasswordLabel, &box));
  auto* field = new QLineEdit(&box);
  field->setEchoMode(QLineEdit::Password);
  field->setObjectName("password");
  rows->addWidget(field);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &box);
  rows->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
  field->setFocus();
  const bool ok = box.exec() == QDialog::Accepted;
  text = field->text().toStdString();
  return ok;
}

void QtWindowView::SingleShot(std::uint32_t ms, std::function<void()> action) { RunLater(ms, std::move(action)); }

void QtWindowView::PostToSelf(std::function<void()> action) {
  {
    std::lock_guard lock(queueMutex_);
    queue_.push_back(std::move(action));
  }
  // Queued: runs on the window's thread, after what is already waiting there.
  QMetaObject::invokeMethod(this, [this] { Drain(); }, Qt::QueuedConnection);
}

void QtWindowView::Drain() {
  for (;;) {
    std::function<void()> action;
    {
      std::lock_guard lock(queueMutex_);
      if (queue_.empty()) return;
      action = std::move(queue_.front());
      queue_.pop_front();
    }
    action();
  }
}

void QtWindowView::EndWindow() {
  if (poll_ != nullptr) poll_->stop();
  Finish();
}

void QtWindowView::CloseRequested(CloseRequest how) {
  if (logic_ != nullptr) logic_->OnClose(how);
}

}  // namespace quillon
