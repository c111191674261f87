// A window view for tests: it records what the window shows, answers its
// questions from a script, and keeps posts and timers until the test runs them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ui/window_view.h"

namespace quillon::testing {

class FakeView final : public WindowView {
 public:
  void SetTitle(const std::string& text) override { title = text; }
  void SetText(Control control, const std::string& text) override {
    texts[control] = text;
    if (control == Control::LoopTotal) loopTotalTyped = text;
  }
  std::string Text(Control control) const override {
    if (control == Control::LoopTotal) return loopTotalTyped;
    auto found = texts.find(control);
    return found == texts.end() ? std::string() : found->second;
  }
  void SetVisible(Control control, bool visible) override { this->visible[control] = visible; }
  void SetEnabled(Control control, bool enabled) override { this->enabled[control] = enabled; }
  void SetProgress(int percent) override {
    progress = percent;
    progressShown.push_back(percent);
  }
  void SetResultColour(Rgb colour) override { resultColour = colour; }
  void SetFocus(Control control) override { focused = control; }
  void ApplyOpeningLayout() override { ++layouts; }
  void SetDeviceList(const std::vector<std::string>& entries, int selectedIndex) override {
    list = entries;
    selected = selectedIndex;
  }
  Answer Ask(const std::string& text, const std::string&) override {
    questions.push_back(text);
    if (answers.empty()) return Answer::No;
    Answer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ShowMessage(const std::string& text, const std::string&) override { messages.push_back(text); }
  bool AskPassword(const std::string&, std::string& text) override {
    ++passwordPrompts;
    if (!password) return false;
    text = *password;
    return true;
  }
  void SingleShot(std::uint32_t ms, std::function<void()> action) override {
    timers.push_back({now + ms, sequence++, std::move(action)});
  }
  void PostToSelf(std::function<void()> action) override {
    {
      std::lock_guard lock(mutex_);
      posts_.push_back(std::move(action));
    }
    posted_.notify_all();
  }
  void EndWindow() override { ++ends; }

  // Runs the oldest post; false when there is none.
  bool RunOne() {
    std::function<void()> action;
    {
      std::lock_guard lock(mutex_);
      if (posts_.empty()) return false;
      action = std::move(posts_.front());
      posts_.pop_front();
    }
    action();
    return true;
  }
  // Runs what is queued now; true when something ran.
  bool RunPosts() {
    bool ran = false;
    while (RunOne()) ran = true;
    return ran;
  }
  bool HasPosts() {
    std::lock_guard lock(mutex_);
    return !posts_.empty();
  }
  // Blocks briefly for a post from another thread.
  void AwaitPost() {
    std::unique_lock lock(mutex_);
    posted_.wait_for(lock, std::chrono::milliseconds(5), [this] { return !posts_.empty(); });
  }
  // Fires the earliest timer, moving the view's time to it; false when none.
  bool FireTimer() {
    if (timers.empty()) return false;
    auto first = std::min_element(timers.begin(), timers.end(), [](const Timer& a, const Timer& b) {
      return a.due != b.due ? a.due < b.due : a.sequence < b.sequence;
    });
    Timer timer = std::move(*first);
    timers.erase(first);
    now = std::max(now, timer.due);
    timer.action();
    return true;
  }

  struct Timer {
    std::uint64_t due;
    std::uint64_t sequence;
    std::function<void()> action;
  };

  std::string title;
  std::map<Control, std::string> texts;
  std::map<Control, bool> visible;
  std::map<Control, bool> enabled;
  std::string loopTotalTyped = "1";
  int progress = -1;
  std::vector<int> progressShown;  // every value, in order
  Rgb resultColour;
  std::optional<Control> focused;
  int layouts = 0;
  std::vector<std::string> list;
  int selected = -1;
  std::deque<Answer> answers;
  std::vector<std::string> questions;
  std::vector<std::string> messages;
  std::optional<std::string> password;
  int passwordPrompts = 0;
  std::vector<Timer> timers;
  std::uint64_t now = 0;
  std::uint64_t sequence = 0;
  int ends = 0;

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> posts_;
};

}  // namespace quillon::testing
