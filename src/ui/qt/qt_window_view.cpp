#include "ui/qt/qt_window_view.h"

#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <climits>

#include "ui/qt/tile_colour.h"
#include "ui/update_window.h"

namespace quillon {
namespace {

constexpr int kPollMs = 100;
constexpr int kWidth = 505;
constexpr int kHeight = 200;
// The opening moves: the status line up, the window taller.
constexpr int kStatusRaise = 35;
constexpr int kExtraHeight = 60;

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

QtWindowView::QtWindowView() {
  setModal(true);
  setFixedSize(kWidth, kHeight);
  auto place = [this](Control id, QWidget* widget, int x, int y, int w, int h) {
    widget->setParent(this);
    widget->setGeometry(x, y, w, h);
    controls_[id] = widget;
  };
  place(Control::DeviceListLabel, new QLabel("N/A:"), 10, 12, 70, 20);
  deviceList_ = new QComboBox;
  place(Control::DeviceList, deviceList_, 85, 10, 300, 24);
  auto* image = new QLineEdit;
  image->setReadOnly(true);
  place(Control::ImageText, image, 10, 44, 375, 24);
  auto* start = new QPushButton("Start");
  start->setAutoDefault(false);
  place(Control::Start, start, 395, 10, 100, 58);
  place(Control::GetVersion, new QPushButton("Get Version"), 10, 78, 100, 24);
  place(Control::Browser, new QPushButton("Browser"), 10, 78, 100, 24);
  place(Control::VersionText, new QLabel("Ver: "), 120, 80, 170, 20);
  place(Control::ChipInfo, new QLabel("N/A"), 300, 80, 85, 20);
  auto* snLabel = new QLabel("Current SN:", this);
  snLabel->setGeometry(10, 110, 80, 20);
  place(Control::SerialText, new QLabel("Static"), 95, 110, 290, 20);
  auto* password = new QLineEdit;
  password->setEnabled(false);
  place(Control::PasswordEdit, password, 10, 140, 180, 22);
  place(Control::Hidden1188, new QLabel("N/A"), 200, 140, 80, 20);
  place(Control::StatusLabel, new QLabel("Status: "), 10, 180, 60, 20);
  place(Control::StatusText, new QLabel("Static"), 75, 180, 310, 20);
  result_ = new QLabel("N/A");
  result_->setAlignment(Qt::AlignCenter);
  place(Control::Result, result_, 395, 74, 100, 64);
  place(Control::LoopLabel, new QLabel("Total"), 395, 142, 40, 22);
  loopTotal_ = new QSpinBox;
  loopTotal_->setRange(0, INT_MAX);  // a negative count cannot be typed
  place(Control::LoopTotal, loopTotal_, 435, 140, 60, 24);
  place(Control::LoopLeft, new QLabel("Left:"), 395, 168, 100, 20);
  progress_ = new QProgressBar;
  progress_->setRange(0, 100);
  progress_->setTextVisible(false);
  place(Control::Progress, progress_, 10, 205, 485, 20);
  place(Control::SessionCounts, new QLabel(""), 10, 232, 240, 20);
  place(Control::UnitLocation, new QLabel(""), 260, 232, 235, 20);
  for (Control hidden : {Control::LoopLabel, Control::LoopTotal, Control::LoopLeft, Control::Browser}) {
    controls_[hidden]->hide();
  }
}

QtWindowView::~QtWindowView() = default;

void QtWindowView::Attach(CUvcCamDownload_Tessaro_VxproxyDlg* logic) {
  logic_ = logic;
  connect(static_cast<QPushButton*>(controls_[Control::Start]), &QPushButton::clicked, this, [this] {
    if (logic_ != nullptr) logic_->OnStart();
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
}

std::string QtWindowView::Text(Control control) const {
  QWidget* widget = Widget(control);
  if (widget == loopTotal_) return loopTotal_->cleanText().toStdString();
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text().toStdString();
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text().toStdString();
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
  big.setPixelSize(24);
  big.setBold(true);
  result_->setFont(big);
  for (Control control : {Control::StatusLabel, Control::StatusText}) {
    QWidget* widget = controls_[control];
    widget->move(widget->x(), widget->y() - kStatusRaise);
  }
  setFixedSize(kWidth, kHeight + kExtraHeight);
  // The version text takes the Get Version button's place, widened to the right.
  const QRect button = controls_[Control::GetVersion]->geometry();
  controls_[Control::VersionText]->setGeometry(QRect(QPoint(button.left() + 8, button.top()),
                                                     QPoint(button.right() + 200, button.bottom())));
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
  bool ok = false;
  const QString typed = QInputDialog::getText(this, Q(title), QString(), QLineEdit::Normal, QString(), &ok);
  text = typed.toStdString();
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
