// A capture system for tests: named devices, scripted failures, and counts of
// what the keep-awake thread did with them.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ui/keep_awake.h"

namespace quillon::testing {

class FakeCapture final : public CaptureSystem {
 public:
  bool ListCaptureDevices(std::vector<CaptureHint>& out, std::string& error) override {
    std::lock_guard lock(mutex_);
    ++lists_;
    if (!listError.empty()) {
      error = listError;
      return false;
    }
    out = hints;
    return true;
  }
  std::unique_ptr<CaptureStream> Open(const std::string& name, std::string& error) override {
    std::lock_guard lock(mutex_);
    opened_.push_back(name);
    if (!openError.empty()) {
      error = openError;
      return nullptr;
    }
    return std::make_unique<Stream>(*this);
  }

  // Blocks until the stream was started `n` times.
  void AwaitStarts(int n) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return starts_ >= n; });
  }
  // Blocks until a start was tried `n` times, failed or not.
  void AwaitStartAttempts(int n) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return attempts_ >= n; });
  }
  int lists() {
    std::lock_guard lock(mutex_);
    return lists_;
  }
  int starts() {
    std::lock_guard lock(mutex_);
    return starts_;
  }
  int stops() {
    std::lock_guard lock(mutex_);
    return stops_;
  }
  std::vector<std::string> opened() {
    std::lock_guard lock(mutex_);
    return opened_;
  }

  std::vector<CaptureHint> hints;
  std::string listError;
  std::string openError;
  std::string startError;

 private:
  class Stream final : public CaptureStream {
   public:
    explicit Stream(FakeCapture& owner) : owner_(owner) {}
    bool Start(std::string& error) override {
      std::lock_guard lock(owner_.mutex_);
      ++owner_.attempts_;
      owner_.changed_.notify_all();
      if (!owner_.startError.empty()) {
        error = owner_.startError;
        return false;
      }
      ++owner_.starts_;
      owner_.changed_.notify_all();
      return true;
    }
    bool Drain(std::string&) override { return true; }
    bool Stop(std::string&) override {
      std::lock_guard lock(owner_.mutex_);
      ++owner_.stops_;
      return true;
    }

   private:
    FakeCapture& owner_;
  };

  std::mutex mutex_;
  std::condition_variable changed_;
  int lists_ = 0;
  int starts_ = 0;
  int attempts_ = 0;
  int stops_ = 0;
  std::vector<std::string> opened_;
};

}  // namespace quillon::testing
