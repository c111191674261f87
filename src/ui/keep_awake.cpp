#include "ui/keep_awake.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "platform/debug_channel.h"

namespace quillon {
namespace {
constexpr int kCycleMs = 50;
constexpr std::size_t kDisplayNameLimit = 255;
}  // namespace

std::string CaptureDisplayName(const CaptureHint& hint) {
  std::string text = hint.description + " (" + hint.name + ")";
  if (text.size() > kDisplayNameLimit) text.resize(kDisplayNameLimit);
  return text;
}

int PickUsbCaptureDevice(const std::vector<CaptureHint>& hints) {
  for (std::size_t i = 0; i < hints.size(); ++i) {
    std::string upper = CaptureDisplayName(hints[i]);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (upper.find("USB") != std::string::npos) return static_cast<int>(i);
  }
  return -1;
}

void CWakeUpThread::Start() {
  if (thread_.joinable()) return;
  // Set before the thread exists and never cleared by it: a stop that comes
  // at once is never lost.
  {
    std::lock_guard lock(mutex_);
    stop_ = false;
  }
  thread_ = std::thread([this] { Routine(); });
}

void CWakeUpThread::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

bool CWakeUpThread::WaitForStop(int ms) {
  std::unique_lock lock(mutex_);
  return wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; });
}

void CWakeUpThread::Routine() {
  std::vector<CaptureHint> hints;
  std::string error;
  if (!capture_.ListCaptureDevices(hints, error)) {
    DebugPrint("Unable to retrieve device collection: %s\n", error.c_str());
    DebugPrint("Record Start Fail PickDevice\n");
    return;
  }
  DebugPrint("deviceCount is %d\n", static_cast<int>(hints.size()));
  for (const CaptureHint& hint : hints) DebugPrint("deviceName is %s\n", CaptureDisplayName(hint).c_str());
  const int chosen = PickUsbCaptureDevice(hints);
  if (chosen < 0) {
    DebugPrint("Record Start Fail PickDevice\n");
    return;
  }
  std::unique_ptr<CaptureStream> stream = capture_.Open(hints[static_cast<std::size_t>(chosen)].name, error);
  if (!stream) {
    DebugPrint("Unable to initialize audio client: %s.\n", error.c_str());
    DebugPrint("Record Start Fail Initialize\n");
    return;
  }
  Cycle(*stream);
}

void CWakeUpThread::Cycle(CaptureStream& stream) {
  std::string error;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stop_) return;
    }
    if (!stream.Start(error)) {
      DebugPrint("Unable to start capture client: %s.\n", error.c_str());
      DebugPrint("Record Start Fail\n");
      return;
    }
    DebugPrint(".");
    const bool stopping = WaitForStop(kCycleMs);
    DebugPrint("\n");
    if (!stream.Drain(error)) DebugPrint("Unable to release capture buffer: %s!\n", error.c_str());
    if (!stream.Stop(error)) DebugPrint("Unable to stop audio client: %s\n", error.c_str());
    ++cycles_;
    if (stopping) return;
  }
}

}  // namespace quillon
