#include "ui/qt/operator_dialog.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>

namespace quillon {

Answer OperatorDialog::AskQuestion(const std::string& text, const std::string& caption) {
  // No is the default: a stray Enter (a scanner's) must not write a unit
  // again or stop the line.
  const auto button = QMessageBox::question(this, QString::fromStdString(caption), QString::fromStdString(text),
                                            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
  return button == QMessageBox::Yes ? Answer::Yes : Answer::No;
}

void OperatorDialog::RunLater(std::uint32_t ms, std::function<void()> action) {
  QTimer::singleShot(static_cast<int>(ms), this, std::move(action));
}

void OperatorDialog::Finish() {
  ending_ = true;
  done(QDialog::Rejected);
}

// Enter (the dialog's OK) and Escape (its Cancel) are keys, told to the
// logic as such: they never close an operator's window by themselves.
void OperatorDialog::accept() { CloseRequested(CloseRequest::Key); }

void OperatorDialog::reject() { CloseRequested(CloseRequest::Key); }

void OperatorDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Escape) {
    CloseRequested(CloseRequest::Key);
    return;
  }
  QDialog::keyPressEvent(event);
}

void OperatorDialog::closeEvent(QCloseEvent* event) {
  if (ending_) {
    event->accept();
    return;
  }
  event->ignore();
  CloseRequested(CloseRequest::CloseBox);
}

}  // namespace quillon
