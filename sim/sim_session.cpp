#include "sim/sim_session.h"

#include <cstdio>
#include <cstdlib>

#include "platform/debug_channel.h"
#include "proxy/host_backend.h"
#include "proxy/libusb_backend.h"
#include "sim/sim_bus.h"
#include "sim/state_file.h"

namespace quillon::sim {
namespace {

class SimSession final : public UsbBackend {
 public:
  SimSession(std::unique_ptr<StateFileLock> lock, std::filesystem::path file, std::vector<ChipState> chips)
      : lock_(std::move(lock)), file_(std::move(file)), bus_(std::move(chips)) {}

  ~SimSession() override {
    std::string error;
    if (!SaveStateFile(file_, bus_.EndRun(), error)) DebugPrint("Simulator state not saved: %s\n", error.c_str());
  }

  SimBus& bus() { return bus_; }

  std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) override { return bus_.ListDevices(out); }
  std::uint32_t Open(const std::string& instance, UsbHandle& out) override { return bus_.Open(instance, out); }
  void Close(UsbHandle handle) override { bus_.Close(handle); }
  TransferResult ControlTransfer(UsbHandle handle, const SetupPacket& setup, std::span<std::uint8_t> data,
                                 std::uint32_t timeoutMs) override {
    return bus_.ControlTransfer(handle, setup, data, timeoutMs);
  }
  void SetEventListener(UsbEventListener* listener) override { bus_.SetEventListener(listener); }
  std::size_t HandleEvents() override { return bus_.HandleEvents(); }

 private:
  std::unique_ptr<StateFileLock> lock_;  // held for the whole run
  std::filesystem::path file_;
  SimBus bus_;
};

}  // namespace

std::unique_ptr<UsbBackend> OpenSimSession(const std::filesystem::path& stateFile,
                                           const std::filesystem::path& traceFile, std::string& error) {
  auto lock = std::make_unique<StateFileLock>(stateFile);
  if (!lock->held()) {
    error = "simulator state " + stateFile.string() + " is in use";
    return nullptr;
  }
  std::vector<ChipState> chips;
  if (!LoadStateFile(stateFile, chips, error)) return nullptr;
  // Checked before the session exists: a session that ends saves its run.
  if (!traceFile.empty()) {
    std::FILE* probe = std::fopen(traceFile.c_str(), "a");
    if (probe == nullptr) {
      error = "cannot open transfer log " + traceFile.string();
      return nullptr;
    }
    std::fclose(probe);
  }
  auto session = std::make_unique<SimSession>(std::move(lock), stateFile, std::move(chips));
  if (!traceFile.empty()) session->bus().OpenTransferLog(traceFile);
  return session;
}

std::unique_ptr<UsbBackend> MakeBackendFromEnvironment(std::string& error) {
  const char* state = std::getenv(kSimStateVariable);
  if (state == nullptr || *state == '\0') {
    std::string why;
    if (auto host = MakeLibusbBackend(why)) return host;
    // No USB stack here: an empty bus, so that the tool still runs and says so.
    DebugPrint("USB backend not available: %s\n", why.c_str());
    return MakeHostBackend();
  }
  const char* trace = std::getenv(kSimTraceVariable);
  return OpenSimSession(state, trace != nullptr ? trace : "", error);
}

}  // namespace quillon::sim
