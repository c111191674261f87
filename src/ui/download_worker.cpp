#include "ui/download_worker.h"

#include "device/cam_dev.h"
#include "device/vxcam.h"
#include "flow/chip_snapshot.h"
#include "flow/flow_factory.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "platform/clock.h"
#include "platform/debug_channel.h"
#include "platform/trace.h"
#include "proxy/usb_location.h"

namespace quillon {
namespace {
constexpr std::uint32_t kNextLoopPauseMs = 1000;
}  // namespace

CVxtThread::~CVxtThread() {
  if (!thread_.joinable()) return;
  Post(WorkerRequest::Quit);
  Join();
}

void CVxtThread::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { Run(); });
}

void CVxtThread::Post(WorkerRequest request, std::uint32_t wParam, const std::string& location) {
  {
    std::lock_guard lock(mutex_);
    if (quitQueued_) return;
    if (request == WorkerRequest::Quit) quitQueued_ = true;
    queue_.push_back({request, wParam, location});
  }
  wake_.notify_one();
}

bool CVxtThread::Idle() const {
  std::lock_guard lock(mutex_);
  return queue_.empty() && !running_;
}

void CVxtThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void CVxtThread::Run() {
  for (;;) {
    Item item;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return !queue_.empty(); });
      item = queue_.front();
      queue_.pop_front();
      if (item.request == WorkerRequest::Quit) {
        queue_.clear();
        break;
      }
      running_ = true;
    }
    Handle(item);
    {
      std::lock_guard lock(mutex_);
      running_ = false;
    }
    host_.RequestDone();
  }
  // The window closes only after this, so the process never ends inside a flow.
  PostFlowMessage(WM_FLOW_NOTE, 0);
  if (IsFinalSuccessId(LastStatus())) SetLastStatus(0);
}

void CVxtThread::Handle(const Item& item) {
  CDevFlow* flow = TheFlow();
  switch (item.request) {
    case WorkerRequest::Start:
      Download();
      PublishOpenDevice();
      host_.RunEnded();
      break;
    case WorkerRequest::RefreshList:
      // The value comes back as lParam of the listing's information notification.
      host_.SetInfoParam(item.wParam);
      if (!item.location.empty()) TheFrontEnd().Location() = {PortAddress(item.location), HubLocation(item.location)};
      if (flow != nullptr) {
        flow->DEV_GetDeviceListForTessaro();
      } else {
        PostFlowMessage(WM_FLOW_INFO, msg::kDetectDeviceFail, item.wParam);
      }
      host_.SetInfoParam(0);
      break;
    case WorkerRequest::Reselect:
      if (flow != nullptr) flow->DEV_GetDeviceListAfterReset();
      break;
    case WorkerRequest::CloseDevice:
      CloseDevice();
      break;
    case WorkerRequest::Quit:
      break;
  }
  PublishOpenDevice();
}

void CVxtThread::CloseDevice() {
  ScopedTrace scope("CDevFlow::DEV_CloseDevice", kTraceDevice);
  DebugPrint("CDevFlow::DEV_CloseDevice()\n");
  // A plain close: the run has already reset the chip where it wanted it, and
  // another reset here would take it off the bus just as the window lists it.
  if (CDevFlow* flow = TheFlow(); flow != nullptr && flow->chip.device.handle != 0) flow->MP_CloseDevice();
}

void CVxtThread::PublishOpenDevice() {
  CDevFlow* flow = TheFlow();
  CCamDev* object = VxCam_CurrentDevice();
  if (flow == nullptr || flow->chip.device.handle == 0 || object == nullptr) {
    host_.SetOpenDevice("");
  } else {
    host_.SetOpenDevice(object->record().location);
  }
}

void CVxtThread::Download() {
  CDevFlow* flow = TheFlow();
  if (flow == nullptr) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kDetectDeviceFail);
    return;
  }
  flow->SetUpdateOptions();
  CloseDevice();
  if (flow->Dev_OpenDeviceForMultiCamera() == 0) {
    // Without a report the window would stay busy until it is closed.
    PostFlowMessage(WM_FLOW_FAIL, msg::kDetectDeviceFail);
    return;
  }
  PublishOpenDevice();
  host_.DisableStart();
  DebugPrint("Start Download\n");
  flow->chip.device.transportFlags = kFlagAudioSearch;
  const int result = flow->DEV_Download();
  DebugPrint("End Download\n");
  if (!host_.LoopTest()) return;
  const int left = host_.LoopTotal();
  if (result != 0 && left > 0) {
    DebugPrint("Auto next loop text\n");
    TheClock().SleepMs(kNextLoopPauseMs);
    host_.PostStartCommand();
  }
  if (left == 0) {
    host_.SetLoopLeftText("Left : 0");
    if (result != 0) {
      PostFlowMessage(WM_FLOW_STEP, 0);
    } else if (FlowWindow* window = MainWindow()) {
      // A failed last loop keeps its failure as the last status.
      window->Post(WM_FLOW_STEP, 0, 0, CurrentChipSnapshot());
    }
  }
}

}  // namespace quillon
