// The keep-awake thread: while the window is open it starts and stops the
// capture stream of the first USB audio capture device at a 50 ms rhythm, so
// the host never suspends the chip between commands. The audio is not used.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillon {

// One capture device as the audio system names it.
struct CaptureHint {
  std::string name;         // what Open takes
  std::string description;  // for people
};

// An opened capture stream; every failure gives a short reason.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  virtual bool Start(std::string& error) = 0;
  // Takes whatever has arrived without waiting.
  virtual bool Drain(std::string& error) = 0;
  virtual bool Stop(std::string& error) = 0;
};

class CaptureSystem {
 public:
  virtual ~CaptureSystem() = default;
  // The capture devices in the system's own order.
  virtual bool ListCaptureDevices(std::vector<CaptureHint>& out, std::string& error) = 0;
  // Opens `name` without blocking (a busy device fails at once), in its native format.
  virtual std::unique_ptr<CaptureStream> Open(const std::string& name, std::string& error) = 0;
};

// "%s (%s)" of description and name, cut to 255 bytes: what is shown and searched.
std::string CaptureDisplayName(const CaptureHint& hint);
// The first device whose display name contains "USB" in any letter case; -1 when none.
int PickUsbCaptureDevice(const std::vector<CaptureHint>& hints);

class CWakeUpThread {
 public:
  explicit CWakeUpThread(CaptureSystem& capture) : capture_(capture) {}
  ~CWakeUpThread() { Stop(); }
  CWakeUpThread(const CWakeUpThread&) = delete;
  CWakeUpThread& operator=(const CWakeUpThread&) = delete;

  void Start();
  // Sets the stop flag and joins; only the first call after Start waits.
  void Stop();
  bool Running() const { return thread_.joinable(); }
  // Stream start/stop cycles completed so far.
  int Cycles() const { return cycles_.load(); }

 private:
  void Routine();
  void Cycle(CaptureStream& stream);
  bool WaitForStop(int ms);

  CaptureSystem& capture_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::atomic<int> cycles_{0};
  std::thread thread_;
};

// The audio system of this host, or null when the build has none.
std::unique_ptr<CaptureSystem> MakeHostCaptureSystem();

}  // namespace quillon
