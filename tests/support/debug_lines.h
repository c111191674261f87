// Collects the debug channel's lines for the lifetime of the object.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/debug_channel.h"

namespace quillon::testing {

class DebugLines final : public DebugListener {
 public:
  DebugLines() { AddDebugListener(this); }
  ~DebugLines() override { RemoveDebugListener(this); }

  void OnDebugLine(std::string_view line) override {
    std::lock_guard guard(mutex_);
    lines_.emplace_back(line);
  }
  std::vector<std::string> lines() {
    std::lock_guard guard(mutex_);
    return lines_;
  }
  // The lines without their CR LF.
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const std::string& line : lines()) {
      out.push_back(line.size() >= 2 ? line.substr(0, line.size() - 2) : line);
    }
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace quillon::testing
