// The download worker: one long-lived thread that runs the device flows on the
// current flow object, one request at a time, in the order the window posted
// them. Results reach the window only as flow notifications; the worker adds
// the loop-test continuation and, on its way out, the end notification.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace quillon {

enum class WorkerRequest {
  Start,        // run one download
  RefreshList,  // list devices, preferring the remembered location (wParam 0 or 1)
  Reselect,     // find the chosen device again by its identity text
  CloseDevice,
  Quit,         // items posted after it are dropped
};

// The window as the worker sees it. Every call is safe from the worker thread.
class WorkerHost {
 public:
  virtual ~WorkerHost() = default;
  virtual bool LoopTest() = 0;
  virtual int LoopTotal() = 0;
  virtual void SetLoopLeftText(const std::string& text) = 0;
  virtual void DisableStart() = 0;
  // Queues the Start command onto the window, as a click would.
  virtual void PostStartCommand() = 0;
  // lParam of the information notifications posted until the next call.
  virtual void SetInfoParam(std::uint32_t lParam) = 0;
  // Where the device the flow has open sits (its port), empty when none.
  virtual void SetOpenDevice(const std::string& location) = 0;
  // A download request is over, reports and all (called last, on the worker).
  virtual void RunEnded() {}
  // A request is done and the worker is idle unless more are queued.
  virtual void RequestDone() {}
};

class CVxtThread {
 public:
  explicit CVxtThread(WorkerHost& host) : host_(host) {}
  // Quits and joins when the thread still runs.
  ~CVxtThread();
  CVxtThread(const CVxtThread&) = delete;
  CVxtThread& operator=(const CVxtThread&) = delete;

  void Start();
  bool Started() const { return thread_.joinable(); }
  // `location`, for a listing: the port it prefers (empty: the remembered one).
  void Post(WorkerRequest request, std::uint32_t wParam = 0, const std::string& location = {});
  // Nothing queued and nothing running: the flow object may be replaced.
  bool Idle() const;
  // Waits for the thread after a Quit; harmless when it never started.
  void Join();

 private:
  struct Item {
    WorkerRequest request;
    std::uint32_t wParam;
    std::string location;
  };
  void Run();
  void Handle(const Item& item);
  void Download();
  void CloseDevice();
  void PublishOpenDevice();

  WorkerHost& host_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Item> queue_;
  bool running_ = false;  // a request is being handled
  bool quitQueued_ = false;
  std::thread thread_;
};

}  // namespace quillon
