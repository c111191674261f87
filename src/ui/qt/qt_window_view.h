// The update window drawn with Qt Widgets: a modal dialog with the window's
// controls. It only draws; CUvcCamDownload_Tessaro_VxproxyDlg decides.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "ui/qt/operator_dialog.h"
#include "ui/window_view.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTimer;

namespace quillon {

class CUvcCamDownload_Tessaro_VxproxyDlg;

class QtWindowView final : public OperatorDialog, public WindowView {
 public:
  QtWindowView();
  ~QtWindowView() override;

  // Connects the controls to the window's logic and starts the device-event poll.
  void Attach(CUvcCamDownload_Tessaro_VxproxyDlg* logic);

  // WindowView.
  void SetTitle(const std::string& title) override;
  void SetText(Control control, const std::string& text) override;
  std::string Text(Control control) const override;
  void SetVisible(Control control, bool visible) override;
  void SetEnabled(Control control, bool enabled) override;
  void SetProgress(int percent) override;
  void SetResultColour(Rgb colour) override;
  void SetFocus(Control control) override;
  void ApplyOpeningLayout() override;
  void SetDeviceList(const std::vector<std::string>& entries, int selected) override;
  Answer Ask(const std::string& text, const std::string& caption) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;
  bool AskPassword(const std::string& title, std::string& text) override;
  void SingleShot(std::uint32_t ms, std::function<void()> action) override;
  void PostToSelf(std::function<void()> action) override;
  void EndWindow() override;

 protected:
  void CloseRequested(CloseRequest how) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QWidget* Widget(Control control) const;
  void Drain();
  // The verdict's letters as large as the tile allows.
  void ScaleTile();

  CUvcCamDownload_Tessaro_VxproxyDlg* logic_ = nullptr;
  std::map<Control, QWidget*> controls_;
  QProgressBar* progress_ = nullptr;
  QSpinBox* loopTotal_ = nullptr;
  QComboBox* deviceList_ = nullptr;
  QLabel* result_ = nullptr;
  QLineEdit* serialEntry_ = nullptr;
  QTimer* poll_ = nullptr;
  bool fillingList_ = false;

  std::mutex queueMutex_;
  std::deque<std::function<void()>> queue_;
};

}  // namespace quillon
