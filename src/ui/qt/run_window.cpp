#include "ui/run_window.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "app/gang_mode.h"
#include "flow/status.h"
#include "ui/keep_awake.h"
#include "ui/qt/qt_panel_view.h"
#include "ui/qt/qt_window_view.h"
#include "ui/update_window.h"

namespace quillon {
namespace {

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

void RunOperatorWindow(const std::string& toolVersionText) {
  // Qt ends the process when it finds no display; say why instead.
  if (!HasDisplay()) {
    std::fprintf(stderr, "quillon: no display for the operator's window (set DISPLAY, or QT_QPA_PLATFORM=offscreen)\n");
    SetLastStatus(msg::kNotSupport);
    return;
  }
  static int argc = 1;
  static char name[] = "quillon";
  static char* argv[] = {name, nullptr};
  QApplication application(argc, argv);
  if (const GangChipLister& lister = StationPanelLister()) {
    QtPanelView view;
    StationPanel panel(view, toolVersionText, lister, GangWorkerProgram());
    view.Attach(&panel);
    panel.Init();
    view.exec();
    return;
  }
  std::unique_ptr<CaptureSystem> capture = MakeHostCaptureSystem();
  QtWindowView view;
  CUvcCamDownload_Tessaro_VxproxyDlg window(view, toolVersionText, capture.get());
  view.Attach(&window);
  window.OnInitDialog();
  view.exec();
  window.Destroy();
}

}  // namespace quillon
