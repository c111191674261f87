// Message boxes and questions from any thread, shown by the window: on the
// window's thread directly, from another thread as a blocking queued call.
// Once the window has gone, a question takes its preselected answer at once.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/prompt.h"
#include "ui/window_view.h"

namespace quillon {

class GuiPrompt final : public Prompt {
 public:
  // Must be made on the window's thread.
  explicit GuiPrompt(WindowView& view) : view_(view), guiThread_(std::this_thread::get_id()) {}
  ~GuiPrompt() override { Close(); }

  void Show(std::string_view text, std::string_view caption) override;
  Answer Ask(std::string_view text, std::string_view caption, Answer preselected) override;
  // Releases every waiting caller with its preselected answer; later calls do not wait.
  void Close();

 private:
  struct Call {
    bool done = false;
    Answer answer = Answer::Ok;
  };
  Answer Run(std::string text, std::string caption, bool question, Answer preselected);

  WindowView& view_;
  std::thread::id guiThread_;
  std::mutex mutex_;
  std::condition_variable finished_;
  std::vector<std::shared_ptr<Call>> pending_;
  bool closed_ = false;
};

}  // namespace quillon
