#include "ui/gui_prompt.h"

#include <algorithm>
#include <string>

namespace quillon {

void GuiPrompt::Show(std::string_view text, std::string_view caption) {
  Run(std::string(text), std::string(caption), false, Answer::Ok);
}

Answer GuiPrompt::Ask(std::string_view text, std::string_view caption, Answer preselected) {
  return Run(std::string(text), std::string(caption), true, preselected);
}

Answer GuiPrompt::Run(std::string text, std::string caption, bool question, Answer preselected) {
  if (std::this_thread::get_id() == guiThread_) {
    if (!question) {
      view_.ShowMessage(text, caption);
      return Answer::Ok;
    }
    return view_.Ask(text, caption);
  }
  auto call = std::make_shared<Call>();
  call->answer = preselected;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return preselected;
    pending_.push_back(call);
  }
  view_.PostToSelf([this, call, text = std::move(text), caption = std::move(caption), question] {
    {
      std::lock_guard lock(mutex_);
      if (call->done) return;
    }
    Answer answer = Answer::Ok;
    if (question) {
      answer = view_.Ask(text, caption);
    } else {
      view_.ShowMessage(text, caption);
    }
    {
      std::lock_guard lock(mutex_);
      if (!call->done) {
        call->answer = answer;
        call->done = true;
      }
    }
    finished_.notify_all();
  });
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&] { return call->done; });
  std::erase(pending_, call);
  return call->answer;
}

void GuiPrompt::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (auto& call : pending_) call->done = true;
  }
  finished_.notify_all();
}

}  // namespace quillon
