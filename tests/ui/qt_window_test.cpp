// The real Qt window, offscreen, through whole updates on simulated chips; it
// saves pictures of its states for the README.
#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <atomic>

#include "flow/flow_fixture.h"
#include "platform/resources.h"
#include "ui/window_fixture.h"
#include "ui/qt/qt_window_view.h"
#include "ui/update_window.h"

namespace quillon::testing {
namespace {

class QtWindowTest : public FlowFixture {};

// The application, the view and the window as the program makes them, opened.
struct OffscreenWindow {
  int argc = 1;
  char name[12] = "ui_qt_tests";
  char* argv[2] = {name, nullptr};
  QApplication application{argc, argv};
  QtWindowView view;
  CUvcCamDownload_Tessaro_VxproxyDlg window{view, "2.61.32", nullptr};
  OffscreenWindow() {
    view.Attach(&window);
    window.OnInitDialog();
  }
};

// Closes the window as the operator does: the close box, and Yes to its question.
void CloseConfirmed(CUvcCamDownload_Tessaro_VxproxyDlg& window) {
  QTimer::singleShot(0, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->button(QMessageBox::Yes)->click();
  });
  window.OnClose();
}

TEST_F(QtWindowTest, AutoRunUpdatesAChipToPass) {
  ScopedEnv platform("QT_QPA_PLATFORM", "offscreen");
  UseSettings("CheckVIDPID_INI=1\r\nAutoRun=1\r\n");
  sim::SimChip& chip = AddChipWith({}, {});
  const char* binDir = std::getenv("QUILLON_BIN_DIR");
  const std::filesystem::path shot =
      (binDir != nullptr ? std::filesystem::path(binDir) : temp.path()) / "window-pass.png";
  std::filesystem::remove(shot);

  OffscreenWindow shown;
  QtWindowView& view = shown.view;
  CUvcCamDownload_Tessaro_VxproxyDlg& window = shown.window;

  bool saved = false;
  int checks = 0;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    // A guard against a run that never ends, not a measure of time.
    if (++checks > 6000) {
      ADD_FAILURE() << "no PASS";
      view.EndWindow();  // not OnClose: during a run that would ask first
      return;
    }
    if (saved || view.Text(Control::Result) != "PASS" || view.Text(Control::StatusText) != "Download Succeed") return;
    if (window.busy() || !window.WorkerIdle()) return;
    saved = view.grab().save(QString::fromStdString(shot.string()), "PNG");
    CloseConfirmed(window);
  });
  watch.start(10);
  view.exec();
  watch.stop();
  window.Destroy();

  EXPECT_TRUE(saved);
  EXPECT_TRUE(window.ended());
  EXPECT_EQ(view.windowTitle().toStdString(), "USB Audio FW Update Tool 2.61.32");
  EXPECT_EQ(view.Text(Control::Result), "PASS");
  QImage picture(QString::fromStdString(shot.string()));
  EXPECT_FALSE(picture.isNull());
  EXPECT_EQ(picture.width(), view.width());
  auto image = FindResource(3021, "BINARY");
  ASSERT_TRUE(image.has_value());
  auto flash = chip.state().memory.bytes();
  EXPECT_TRUE(std::equal(image->begin(), image->end(), flash.begin()));
  EXPECT_EQ(chip.state().mode, sim::RunMode::kCode);
}

}  // namespace
}  // namespace quillon::testing

namespace quillon::testing {
namespace {

// The window as the operator sees it, offscreen: idle with a unit, busy, FAIL
// and then PASS on the same unit; a picture of each is saved for the README.
TEST_F(QtWindowTest, PicturesOfEachState) {
  ScopedEnv platform("QT_QPA_PLATFORM", "offscreen");
  UseSettings("CheckVIDPID_INI=1\r\n");
  AddChipWith({}, {});
  const char* binDir = std::getenv("QUILLON_BIN_DIR");
  const std::filesystem::path dir = binDir != nullptr ? std::filesystem::path(binDir) : temp.path();

  Gate gate;
  std::atomic<bool> failErase{true};
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (!IsOp(s, d, 0x02, 0x04)) return std::nullopt;
    gate.PassOrWait();
    if (failErase) return TransferResult{31, 0};
    return std::nullopt;
  };

  OffscreenWindow shown;
  QtWindowView& view = shown.view;
  CUvcCamDownload_Tessaro_VxproxyDlg& window = shown.window;

  enum class Step { Idle, Busy, Fail, Pass, Done };
  Step step = Step::Idle;
  std::vector<std::string> saved;
  auto save = [&](const char* file) {
    const std::filesystem::path shot = dir / file;
    if (view.grab().save(QString::fromStdString(shot.string()), "PNG")) saved.push_back(file);
  };
  auto settled = [&] { return !window.busy() && window.WorkerIdle() && window.devicePresent(); };
  int checks = 0;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    // A guard against a run that never ends, not a measure of time.
    if (++checks > 6000) {
      ADD_FAILURE() << "stuck before step " << static_cast<int>(step);
      gate.Open();
      view.EndWindow();  // not OnClose: during a run that would ask first
      step = Step::Done;
      return;
    }
    switch (step) {
      case Step::Idle:
        if (!settled()) return;
        save("window-idle.png");
        gate.Arm();
        window.OnStart();
        step = Step::Busy;
        return;
      case Step::Busy:
        if (!window.busy()) return;
        gate.AwaitReached();
        save("window-busy.png");
        gate.Open();
        step = Step::Fail;
        return;
      case Step::Fail:
        if (view.Text(Control::Result) != "FAIL" || !settled()) return;
        save("window-fail.png");
        failErase = false;
        window.OnStart();
        step = Step::Pass;
        return;
      case Step::Pass:
        if (view.Text(Control::Result) != "PASS" || !settled()) return;
        save("window-line-pass.png");
        step = Step::Done;
        CloseConfirmed(window);
        return;
      case Step::Done:
        return;
    }
  });
  watch.start(10);
  view.exec();
  watch.stop();
  gate.Open();
  window.Destroy();
  hookBus->hook = nullptr;

  EXPECT_EQ(saved, (std::vector<std::string>{"window-idle.png", "window-busy.png", "window-fail.png",
                                             "window-line-pass.png"}));
  EXPECT_EQ(window.lastResult(), RunVerdict::Pass);
}

}  // namespace
}  // namespace quillon::testing

namespace quillon::testing {
namespace {

// The window can be enlarged, its verdict tile takes at least a third of its
// height with letters to match; Enter and Escape do not close it; a question
// offers No first; the password box is labelled in English and masks what is typed.
TEST_F(QtWindowTest, AWindowForTheLine) {
  ScopedEnv platform("QT_QPA_PLATFORM", "offscreen");
  UseSettings("CheckVIDPID_INI=1\r\n");
  AddChipWith({}, {});
  OffscreenWindow shown;
  QtWindowView& view = shown.view;
  view.show();
  QApplication::processEvents();
  EXPECT_NE(view.minimumSize(), view.maximumSize()) << "not a fixed size";
  auto* tile = view.findChild<QLabel*>("verdict");
  ASSERT_NE(tile, nullptr);
  const int smallLetters = tile->font().pixelSize();
  view.resize(1920, 1080);
  QApplication::processEvents();
  EXPECT_GE(tile->height() * 3, view.height());
  EXPECT_GT(tile->font().pixelSize(), smallLetters * 2);

  for (int key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(&view, &press);
  }
  QApplication::processEvents();
  EXPECT_TRUE(view.isVisible());
  EXPECT_FALSE(shown.window.closing());

  QMessageBox::StandardButton offered = QMessageBox::NoButton;
  QTimer::singleShot(0, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      offered = box->standardButton(box->defaultButton());
      box->button(QMessageBox::No)->click();
    }
  });
  EXPECT_EQ(view.Ask(kSameVersionQuestion, "Warning!!"), Answer::No);
  EXPECT_EQ(offered, QMessageBox::No);

  QLineEdit::EchoMode echo = QLineEdit::Normal;
  bool labelled = false;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    for (QLabel* label : box->findChildren<QLabel*>()) labelled = labelled || label->text() == kPasswordLabel;
    if (auto* field = box->findChild<QLineEdit*>("password")) {
      echo = field->echoMode();
      field->setText("Secret");
    }
    box->accept();
  });
  std::string typed;
  EXPECT_TRUE(view.AskPassword(kPasswordTitle, typed));
  EXPECT_EQ(typed, "Secret");
  EXPECT_EQ(echo, QLineEdit::Password);
  EXPECT_TRUE(labelled);
  shown.window.Destroy();
}

}  // namespace
}  // namespace quillon::testing
