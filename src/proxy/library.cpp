#include "proxy/library.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/debug_channel.h"
#include "platform/process_lock.h"
#include "proxy/backend_factory.h"
#include "proxy/use_flag.h"

namespace quillon {
namespace {

struct LibraryState {
  std::mutex mutex;
  std::atomic<bool> started{false};
  std::filesystem::path flagPath = DefaultUseFlagPath();
  std::unique_ptr<UseFlag> flag;
};

LibraryState& State() {
  static LibraryState state;
  return state;
}

}  // namespace

bool LibraryStartup() {
  LibraryState& state = State();
  std::lock_guard guard(state.mutex);
  DebugPrint("-> VxtUpx lib built on %s at  %s\n", __DATE__, __TIME__);
  if (state.started) return true;
  if (!state.flag) state.flag = std::make_unique<UseFlag>(state.flagPath);
  // A flag that cannot be made only costs the last-instance message.
  state.flag->Enter();
  std::vector<UsbDeviceInfo> devices;
  std::uint32_t error = TheUsbBackend().ListDevices(devices);
  if (error != kUsbOk) {
    DebugPrint("Failed to create hProxyDriver\n");
    state.flag->Leave();
    return false;
  }
  DebugPrint("hProxyDriver = 0x%08X\n", 1u);
  // Every extension-unit command sequence takes this lock; make sure it can be made.
  CommandLock();
  state.started = true;
  return true;
}

bool LibraryShutdown() {
  LibraryState& state = State();
  std::lock_guard guard(state.mutex);
  if (!state.started) return true;
  state.started = false;
  if (state.flag) state.flag->Leave();
  return true;
}

bool LibraryStarted() { return State().started.load(); }

void SetUseFlagPath(std::filesystem::path path) {
  LibraryState& state = State();
  std::lock_guard guard(state.mutex);
  state.flagPath = std::move(path);
  state.flag.reset();
}

}  // namespace quillon
