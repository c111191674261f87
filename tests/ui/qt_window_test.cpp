// The real Qt window, offscreen, through a whole update on a simulated chip
// started by "AutoRun"; it saves a picture of the PASS for the README.
#include <QApplication>
#include <QImage>
#include <QTimer>

#include "flow/flow_fixture.h"
#include "platform/resources.h"
#include "ui/qt/qt_window_view.h"
#include "ui/update_window.h"

namespace quillon::testing {
namespace {

class QtWindowTest : public FlowFixture {};

TEST_F(QtWindowTest, AutoRunUpdatesAChipToPass) {
  ScopedEnv platform("QT_QPA_PLATFORM", "offscreen");
  UseSettings("CheckVIDPID_INI=1\r\nAutoRun=1\r\n");
  sim::SimChip& chip = AddChipWith({}, {});
  const char* binDir = std::getenv("QUILLON_BIN_DIR");
  const std::filesystem::path shot =
      (binDir != nullptr ? std::filesystem::path(binDir) : temp.path()) / "window-pass.png";
  std::filesystem::remove(shot);

  int argc = 1;
  char name[] = "ui_qt_tests";
  char* argv[] = {name, nullptr};
  QApplication application(argc, argv);
  QtWindowView view;
  CUvcCamDownload_Tessaro_VxproxyDlg window(view, "2.61.32", nullptr);
  view.Attach(&window);
  window.OnInitDialog();

  bool saved = false;
  int checks = 0;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    // A guard against a run that never ends, not a measure of time.
    if (++checks > 6000) {
      ADD_FAILURE() << "no PASS";
      window.OnClose();
      return;
    }
    if (saved || view.Text(Control::Result) != "PASS" || view.Text(Control::StatusText) != "Download Succeed") return;
    if (window.busy() || !window.WorkerIdle()) return;
    saved = view.grab().save(QString::fromStdString(shot.string()), "PNG");
    window.OnClose();
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
