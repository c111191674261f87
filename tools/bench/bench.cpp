// quillon-bench: writes a 64 KB image to a simulated chip, once per transport
// and memory type that has a flow, with 8-byte and with 64-byte extension-unit
// pieces, and prints one table: control transfers, the simulator's modelled
// bus time at full and high speed, wall and host CPU time, and the bus time
// over the time the image's bytes alone need at the bus's rate.
//
// Real time, real sleeps: the chip leaves the bus for --off-bus-ms after each
// reset, "Wait Time" is its default, so the wall time shows the waits too.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/current_types.h"
#include "data/ic_type_ini.h"
#include "data/settings.h"
#include "data/working_memory.h"
#include "device/vxcam.h"
#include "flow/bulk_phase.h"
#include "flow/flow_factory.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "image_maker.h"
#include "proxy/backend_factory.h"
#include "proxy/library.h"
#include "proxy/use_flag.h"
#include "sim/bus_time.h"
#include "sim/sim_bus.h"

namespace quillon {
namespace {

constexpr std::size_t kImageSize = 0x10000;

// Runs the flows as the batch mode does.
class BatchFrontEnd final : public FlowFrontEnd {
 public:
  bool CommandLineMode() const override { return true; }
};

// Counts every transfer with the simulator's bus-time model at both speeds.
class CountingBus final : public UsbBackend {
 public:
  explicit CountingBus(sim::SimBus& bus) : bus_(bus) {}
  std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) override { return bus_.ListDevices(out); }
  std::uint32_t Open(const std::string& instance, UsbHandle& out) override { return bus_.Open(instance, out); }
  void Close(UsbHandle handle) override { bus_.Close(handle); }
  TransferResult ControlTransfer(UsbHandle handle, const SetupPacket& setup, std::span<std::uint8_t> data,
                                 std::uint32_t timeoutMs) override {
    TransferResult result = bus_.ControlTransfer(handle, setup, data, timeoutMs);
    // The same bytes the simulator counts: what was sent, or what came back.
    const std::size_t moved = setup.DeviceToHost() ? result.length : (result.ok() ? setup.wLength : 0);
    ++transfers;
    fullUs += sim::ControlTransferTimeUs(sim::BusSpeed::kFull, moved);
    highUs += sim::ControlTransferTimeUs(sim::BusSpeed::kHigh, moved);
    return result;
  }
  void SetEventListener(UsbEventListener* listener) override { bus_.SetEventListener(listener); }
  std::size_t HandleEvents() override { return bus_.HandleEvents(); }

  std::uint64_t transfers = 0;
  std::uint64_t fullUs = 0;
  std::uint64_t highUs = 0;

 private:
  sim::SimBus& bus_;
};

struct MemoryRow {
  const char* name;
  MemoryType type;
  sim::MemoryKind kind;
  mkimage::Memory image;
};

constexpr MemoryRow kMemories[] = {
    {"SPI flash", MemoryType::SpiFlash, sim::MemoryKind::kSpi, mkimage::Memory::Spi},
    {"NOR flash", MemoryType::NorFlash, sim::MemoryKind::kNor, mkimage::Memory::Nor},
    {"EEPROM 8", MemoryType::Eeprom8, sim::MemoryKind::kEeprom8, mkimage::Memory::Eeprom8},
    {"EEPROM 16", MemoryType::Eeprom16, sim::MemoryKind::kEeprom16, mkimage::Memory::Eeprom16},
};
// OTP holds 16 KB and takes images made of parts, so a 64 KB write has no row.


struct TransportRow {
  const char* name;
  sim::Transport transport;
};

// The vendor-request chip also has the extension unit, which opens it; every
// command after that goes by vendor request.
constexpr TransportRow kTransports[] = {
    {"extension unit", sim::Transport::kXu},
    {"vendor requests", sim::Transport::kBoth},
};

struct Result {
  bool hasFlow = false;
  bool passed = false;
  std::uint32_t status = 0;
  std::size_t imageBytes = 0;
  std::uint64_t transfers = 0;
  std::uint64_t fullUs = 0;
  std::uint64_t highUs = 0;
  double wallMs = 0;
  double cpuMs = 0;
};

double CpuMs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

Result RunOne(const MemoryRow& memory, const TransportRow& transport, std::uint32_t pieceSize,
              std::uint32_t offBusMs, const std::filesystem::path& dir) {
  Result result;
  mkimage::ImageSpec spec;
  spec.memory = memory.image;
  spec.size = kImageSize;
  std::string error;
  auto image = mkimage::MakeImage(spec, &error);
  if (!image) {
    std::fprintf(stderr, "quillon-bench: no %s image: %s\n", memory.name, error.c_str());
    return result;
  }

  sim::SimBus bus;
  auto counting = std::make_unique<CountingBus>(bus);
  CountingBus& counts = *counting;
  ScopedUsbBackend backend(std::move(counting));
  sim::SimChip& chip =
      bus.AddChip({.transport = transport.transport, .memory = memory.kind, .offBusMs = offBusMs});
  // A chip that runs the image already, as on a station re-flashing boards:
  // into its loader first, then back into the new code.
  if (memory.kind == sim::MemoryKind::kSpi) chip.state().memory.ProgramFlash(0, *image);
  chip.PowerUp();
  if (const char* trace = std::getenv("QUILLON_BENCH_TRACE")) bus.OpenTransferLog(trace);
  BatchFrontEnd frontEnd;
  SetFrontEnd(&frontEnd);
  SetUseFlagPath(dir / "use.flag");
  if (!LibraryStartup()) return result;
  SetCurrentBusType(BusType::Usb);
  SetCurrentMemoryType(memory.type);
  SetWorkingMemorySize(kImageSize);
  SetCurrentProfile(OpenProfileDocument());
  CDevFlow* flow = RecreateFlow(false);
  result.hasFlow = flow != nullptr;
  if (result.hasFlow && flow->DEV_OpenDeviceByICIni(0) == 1) {
    flow->DEV_GetDeviceInfo();
    flow->SetUpdateOptions();
    flow->chip.device.transportFlags = kFlagAudioSearch;
    flow->chip.image.fileData = *image;
    if (flow->DEV_ParseImage(*image) != 0) {
      flow->chip.image.fileData = *image;
      result.imageBytes = image->size();
      SetBulkPieceSize(pieceSize);
      counts.transfers = counts.fullUs = counts.highUs = 0;
      SetLastStatus(0);
      const auto wallStart = std::chrono::steady_clock::now();
      const double cpuStart = CpuMs();
      result.passed = flow->DEV_Download() == 1;
      result.cpuMs = CpuMs() - cpuStart;
      result.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart).count();
      result.status = LastStatus();
      result.transfers = counts.transfers;
      result.fullUs = counts.fullUs;
      result.highUs = counts.highUs;
      SetBulkPieceSize(kBulkPieceSize);
      // The simulator's own count at its speed must agree with the model used here.
      const sim::ChipState state = bus.EndRun().front();
      if (state.lastRun.transfers < result.transfers) {
        std::fprintf(stderr, "quillon-bench: transfer counts disagree\n");
      }
    }
  }
  if (TheFlow() != nullptr) TheFlow()->MP_CloseDevice();
  VxCam_CloseDevice();
  DestroyFlow();
  SetCurrentProfile(nullptr);
  LibraryShutdown();
  SetFrontEnd(nullptr);
  return result;
}

// Time the image's bytes alone take at the bus's bit rate, in microseconds.
double BytesOnlyUs(std::size_t bytes, double bitsPerUs) { return static_cast<double>(bytes) * 8 / bitsPerUs; }

int Main(int argc, char** argv) {
  std::uint32_t offBusMs = 300;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--off-bus-ms" && i + 1 < argc) {
      offBusMs = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 0));
    } else {
      std::fprintf(stderr,
                   "usage: quillon-bench [--off-bus-ms N]\n"
                   "  64 KB write per transport and memory type, before (8-byte pieces) and after (64)\n");
      return arg == "--help" ? 0 : 1;
    }
  }
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("quillon-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  setenv("QUILLON_HOME", dir.string().c_str(), 1);
  TheSettings().LoadFromText("");

  std::printf("| transport | memory | pieces | result | control transfers | bus time FS | bus time HS | wall time | "
              "host CPU | CPU / HS bus | FS bus / bytes | HS bus / bytes |\n");
  std::printf("|---|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const TransportRow& transport : kTransports) {
    for (const MemoryRow& memory : kMemories) {
      for (std::uint32_t pieces : {kPlainPieceSize, kBulkPieceSize}) {
        const Result r = RunOne(memory, transport, pieces, offBusMs, dir);
        if (!r.hasFlow) {
          if (pieces == kBulkPieceSize) {
            std::printf("| %s | %s | | no flow in this build | | | | | | | | |\n", transport.name, memory.name);
          }
          continue;
        }
        std::printf("| %s | %s | %u | %s | %llu | %.2f s | %.3f s | %.2f s | %.1f ms | %.2f %% | %.0f | %.0f |\n",
                    transport.name, memory.name, pieces, r.passed ? "pass" : ("fail " + std::to_string(r.status)).c_str(),
                    static_cast<unsigned long long>(r.transfers), r.fullUs / 1e6, r.highUs / 1e6, r.wallMs / 1e3,
                    r.cpuMs, r.highUs > 0 ? 100.0 * r.cpuMs * 1e3 / static_cast<double>(r.highUs) : 0.0,
                    r.imageBytes > 0 ? static_cast<double>(r.fullUs) / BytesOnlyUs(r.imageBytes, 12) : 0.0,
                    r.imageBytes > 0 ? static_cast<double>(r.highUs) / BytesOnlyUs(r.imageBytes, 480) : 0.0);
        std::fflush(stdout);
      }
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}

}  // namespace
}  // namespace quillon

int main(int argc, char** argv) { return quillon::Main(argc, argv); }
