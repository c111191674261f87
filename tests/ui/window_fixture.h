// The update window's logic on simulated chips: a fake view the test pumps,
// a fake capture system, and the flow fixture's bus, clock and settings.
#pragma once

#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "flow/flow_fixture.h"
#include "platform/resources.h"
#include "support/debug_lines.h"
#include "ui/fake_capture.h"
#include "ui/fake_view.h"
#include "ui/update_window.h"

namespace quillon::testing {

// Holds a thread at a point until the test lets it go.
class Gate {
 public:
  void Arm() {
    std::lock_guard lock(mutex_);
    armed_ = true;
    reached_ = false;
  }
  void PassOrWait() {
    std::unique_lock lock(mutex_);
    if (!armed_) return;
    reached_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !armed_; });
  }
  bool Reached() {
    std::lock_guard lock(mutex_);
    return reached_;
  }
  void AwaitReached() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return reached_; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    armed_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool armed_ = false;
  bool reached_ = false;
};

using Window = CUvcCamDownload_Tessaro_VxproxyDlg;

inline bool IsOp(const SetupPacket& s, std::span<std::uint8_t> d, std::uint8_t a, std::uint8_t b) {
  return IsCommandBlock(s) && d.size() >= 2 && d[0] == a && d[1] == b;
}

class WindowFixture : public FlowFixture {
 protected:
  void TearDown() override {
    gate.Open();
    window.reset();
    FlowFixture::TearDown();
  }

  // A blank chip that accepts the built-in image for 3A7C/0011.
  sim::SimChip& AddBlankChip(std::uint16_t pid = 0x0011) {
    sim::ChipConfig config;
    config.productId = pid;
    chip = &AddChipWith(config, {});
    return *chip;
  }

  // The window opened with the checks of the shipped settings plus `extra`.
  void Open(const std::string& extra = "") {
    UseSettings("CheckVIDPID_INI=1\r\n" + extra);
    window = std::make_unique<Window>(view, "2.61.32", &capture);
    window->SetOtpUsageSource([this] { return otpBytesInUse; });
    window->OnInitDialog();
    Settle();
  }

  // Runs posts and timers until nothing is left to do and the worker is idle.
  void Settle() {
    for (int guard = 0; guard < 200000; ++guard) {
      const bool idle = window->WorkerIdle();
      if (view.RunPosts()) continue;
      if (!idle) {
        view.AwaitPost();
        continue;
      }
      if (view.HasPosts()) continue;
      if (window->ended() || !view.FireTimer()) return;
    }
    FAIL() << "the window never settled";
  }

  // Runs posts (and waits for the worker's) until `done` holds.
  template <class Pred>
  void PumpUntil(Pred done) {
    for (int guard = 0; guard < 200000 && !done(); ++guard) {
      if (!view.RunOne()) view.AwaitPost();
    }
    ASSERT_TRUE(done());
  }

  // What the view's poll does, and then the window's handling of the events it read.
  void DeliverEvents() {
    window->PollDeviceEvents();
    PumpUntil([&] { return !window->EventsPending(); });
    view.RunPosts();
  }

  void ClickStart() {
    window->OnStart();
    Settle();
  }

  std::string Shown(Control control) { return view.Text(control); }

  int Count(const std::string& line) {
    const auto texts = debug.texts();
    return static_cast<int>(std::count(texts.begin(), texts.end(), line));
  }

  std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::vector<std::uint8_t> FlashBytes(std::size_t length) {
    auto bytes = chip->state().memory.bytes();
    return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length)};
  }

  static std::vector<std::uint8_t> BuiltinImage(int number) {
    auto data = FindResource(number, "BINARY");
    EXPECT_TRUE(data.has_value());
    return data ? std::vector<std::uint8_t>(data->begin(), data->end()) : std::vector<std::uint8_t>{};
  }

  DebugLines debug;
  FakeView view;
  FakeCapture capture;
  Gate gate;
  std::uint32_t otpBytesInUse = 0;
  sim::SimChip* chip = nullptr;
  std::unique_ptr<Window> window;
};

}  // namespace quillon::testing
