// What the operator's window and the station panel share as dialogs: Enter,
// Escape and the close box go to the logic's close handling (a key never
// stops a run), questions with No as their default, and timers on the
// window's thread.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "platform/prompt.h"
#include "ui/update_window.h"

namespace quillon {

class OperatorDialog : public QDialog {
 public:
  Answer AskQuestion(const std::string& text, const std::string& caption);
  void RunLater(std::uint32_t ms, std::function<void()> action);
  // Ends the dialog; the close box is let through from now on.
  void Finish();

 protected:
  // How the operator asked to close.
  virtual void CloseRequested(CloseRequest how) = 0;

  void accept() override;
  void reject() override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  bool ending_ = false;
};

}  // namespace quillon
