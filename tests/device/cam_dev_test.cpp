// The device object's register-level operations: flash write protection on and
// off, the two flash pin settings and the SPI controller command. What goes on
// the wire (read back from the transfer log) and what the simulated chip does
// with it.
#include <algorithm>
#include <cstdio>
#include <map>

#include "device/cam_dev.h"
#include "device/vxcam.h"
#include "device_fixture.h"
#include "support/debug_lines.h"

namespace quillon {
namespace {

using testing::DeviceFixture;
using testing::HookedClock;

// The register and flash-status requests of the log in a short form:
// "R fea0 01" (read, answered 01), "W fea0 01", "RSR 8c", "WSR 8c". A failed
// transfer ends in "!<error>". Other lines are left out.
std::vector<std::string> RegisterOps(const std::vector<std::string>& wire) {
  const std::map<std::string, std::string> names = {
      {"c0 25", "R"}, {"40 24", "W"}, {"c0 30", "RSR"}, {"40 31", "WSR"}};
  std::vector<std::string> out;
  for (const std::string& line : wire) {
    auto name = names.find(line.substr(0, 5));
    if (name == names.end()) continue;
    // <type> <request> <wValue> <wIndex> <wLength> <data>[ !error]
    const std::string index = line.substr(11, 4);
    std::string data = line.substr(21);
    std::string op = name->second;
    if (op == "R" || op == "W") op += " " + index;
    out.push_back(op + " " + data);
  }
  return out;
}

class CamDevTest : public DeviceFixture {
 protected:
  void TearDown() override {
    VxCam_CloseDevice();
    DeviceFixture::TearDown();
  }
  // A TQ7702 with both transports: its write-protect pin is driven by the pair
  // 0xFEA0/0xFEA6 that the device object uses.
  CVxtCam& OpenCurrent(sim::ChipConfig config = {.transport = sim::Transport::kBoth, .ic = sim::IcFamily::kTq7702}) {
    chip = &bus.AddChip(config);
    EXPECT_EQ(VxCam_Init(0), 1);
    flow.handle = VxCam_OpenDeviceByIndex(0);
    EXPECT_NE(flow.handle, 0u);
    auto* cam = dynamic_cast<CVxtCam*>(VxCam_CurrentDevice());
    EXPECT_NE(cam, nullptr);
    MarkWire();
    return *cam;
  }
  // Programs 4 bytes at 0x100 and reads them back.
  bool ProgramSucceeds() {
    const std::vector<std::uint8_t> bytes = {0x12, 0x34, 0x56, 0x78};
    std::vector<std::uint8_t> copy = bytes;
    VxCam_SPI_SF_Write(flow.handle, 0x100, copy, 0, nullptr, nullptr);
    std::vector<std::uint8_t> now(4);
    return chip->state().memory.Read(0x100, now) && now == bytes;
  }

  HookedClock hooked{clock};
  ScopedClockOverride useHooked{hooked};
  sim::SimChip* chip = nullptr;
  FlowDevice flow;
};

TEST_F(CamDevTest, ProtectThenUnprotectTheFlash) {
  CVxtCam& cam = OpenCurrent();
  testing::DebugLines debug;
  const std::uint64_t start = clock.NowMs();
  ASSERT_EQ(cam.ProtectFlash(), kResultOk);
  EXPECT_EQ(RegisterOps(Wire()), (std::vector<std::string>{
                                     "R fea0 00", "R fea6 00",    // pin registers as they were
                                     "W fea0 01", "W fea6 00",    // pin driven, level active
                                     "WSR 8c",                    // protect bits and the register lock
                                     "RSR 8d", "RSR 8c",          // busy for one poll, then done
                                 }));
  EXPECT_GE(clock.NowMs() - start, 50u) << "one poll pause while the status write was in progress";
  auto texts = debug.texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), std::string("Waiting for SPI_SF_WriteSr")), 1);
  EXPECT_EQ(chip->state().statusRegister, 0x8C);
  EXPECT_FALSE(ProgramSucceeds()) << "programming is refused while protected";
  EXPECT_EQ(VxCam_SPI_SF_EraseChip(flow.handle, 0, 20000), 0) << "so is the erase";

  MarkWire();
  ASSERT_EQ(cam.UnprotectFlash(), kResultOk);
  EXPECT_EQ(RegisterOps(Wire()), (std::vector<std::string>{
                                     "R fea0 01", "R fea6 00",
                                     "W fea0 01", "W fea6 01",  // pin released
                                     "WSR 00", "RSR 01", "RSR 00",
                                 }));
  EXPECT_EQ(chip->state().statusRegister, 0x00);
  EXPECT_TRUE(ProgramSucceeds());
}

TEST_F(CamDevTest, ProtectionThroughTheExtensionUnitAlone) {
  CVxtCam& cam = OpenCurrent({.transport = sim::Transport::kXu, .ic = sim::IcFamily::kTq7702});
  ASSERT_EQ(cam.ProtectFlash(), kResultOk);
  EXPECT_EQ(chip->state().statusRegister, 0x8C);
  EXPECT_FALSE(ProgramSucceeds());
  EXPECT_EQ(WireStarting("21 01 0a00 0300 0008 0283").size(), 1u) << "one status write";
  ASSERT_EQ(cam.UnprotectFlash(), kResultOk);
  EXPECT_EQ(chip->state().statusRegister, 0x00);
  EXPECT_TRUE(ProgramSucceeds());
}

TEST_F(CamDevTest, ProtectionChangeThatDoesNotTakeIsAFailure) {
  struct Case {
    const char* what;
    sim::IcFamily ic;
    std::uint32_t statusWriteMs;
    std::uint8_t statusAfter;
  };
  const Case cases[] = {
      // Its pin is on another register pair: the locked status register
      // ignores the write and still reads 8c.
      {"pin not released", sim::IcFamily::kTq7704, 15, 0x8C},
      // The write never finishes within the polls.
      {"status write stays busy", sim::IcFamily::kTq7702, 5000, 0x00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CVxtCam& cam = OpenCurrent({.transport = sim::Transport::kBoth, .ic = c.ic, .statusWriteMs = c.statusWriteMs});
    chip->state().statusRegister = 0x8C;
    EXPECT_NE(cam.UnprotectFlash(), kResultOk);
    EXPECT_EQ(chip->state().statusRegister, c.statusAfter);
    VxCam_CloseDevice();
    bus.UnplugChip(bus.ChipCount() - 1);
  }
}

TEST_F(CamDevTest, FlashPins) {
  struct Case {
    const char* what;
    bool a;
    std::uint8_t before;
    std::vector<std::string> writes;
  };
  const Case cases[] = {
      {"A from clear", true, 0x00, {"W fea0 00", "W fea6 01", "W fea1 00", "W fea7 01"}},
      {"A from set", true, 0xFF, {"W fea0 df", "W fea6 ff", "W fea1 fd", "W fea7 ff"}},
      {"B from clear", false, 0x00, {"W fea0 20", "W fea6 00", "W fea1 02", "W fea7 00"}},
      {"B from set", false, 0xFF, {"W fea0 ff", "W fea6 fe", "W fea1 ff", "W fea7 fe"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CVxtCam& cam = OpenCurrent();
    for (std::uint16_t reg : {0xFEA0, 0xFEA6, 0xFEA1, 0xFEA7}) chip->state().registers[reg] = c.before;
    EXPECT_EQ(c.a ? cam.SetFlashPinsA() : cam.SetFlashPinsB(), kResultOk);
    char read[16];
    std::snprintf(read, sizeof read, " %02x", c.before);
    std::vector<std::string> expected = {std::string("R fea0") + read, std::string("R fea6") + read,
                                         std::string("R fea1") + read, std::string("R fea7") + read};
    expected.insert(expected.end(), c.writes.begin(), c.writes.end());
    EXPECT_EQ(RegisterOps(Wire()), expected);
    VxCam_CloseDevice();
    bus.UnplugChip(bus.ChipCount() - 1);
  }
}

TEST_F(CamDevTest, SpiControllerCommand) {
  const std::vector<std::string> kCommandWrites = {
      "W fce2 06", "W fce1 00", "W fce8 d8",                // opcode
      "W fce9 56", "W fcea 34", "W fceb 12",                // address, low byte first
      "W fce7 01", "W fcee 05", "W fced 06", "W fcfc 00", "W fcfb ff",
      "W fce0 82",                                          // go
  };
  struct Case {
    const char* what;
    int doneAfterPolls;     // the controller sets bit 0x40 during this pause; -1: never
    std::uint8_t doneValue;
    bool ok;
    std::size_t pollReads;  // reads of fce0 before the final one
  };
  const Case cases[] = {
      {"done at once", 0, 0x42, true, 1},
      {"done after three pauses", 3, 0x42, true, 4},
      {"done with the error bit", 1, 0x4A, false, 2},
      {"never done", -1, 0, false, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CVxtCam& cam = OpenCurrent();
    int pauses = 0;
    if (c.doneAfterPolls == 0) {
      // Finished before the first read: answer the read in the chip's place.
      recorder->answer = [&](const SetupPacket& setup, std::span<std::uint8_t> data) -> std::optional<TransferResult> {
        if (setup.bRequest != 0x25 || setup.wIndex != 0xFCE0) return std::nullopt;
        chip->state().registers[0xFCE0] = c.doneValue;
        (void)data;
        return std::nullopt;
      };
    } else if (c.doneAfterPolls > 0) {
      hooked.onSleep = [&](std::uint32_t) {
        if (++pauses == c.doneAfterPolls) chip->state().registers[0xFCE0] = c.doneValue;
      };
    }
    const std::uint64_t start = clock.NowMs();
    const std::uint32_t result = cam.SpiControllerCommand(0xD8, 0x123456);
    EXPECT_EQ(result == kResultOk, c.ok) << std::hex << result;
    std::vector<std::string> ops = RegisterOps(Wire());
    ASSERT_GE(ops.size(), kCommandWrites.size());
    EXPECT_EQ(std::vector<std::string>(ops.begin(), ops.begin() + static_cast<std::ptrdiff_t>(kCommandWrites.size())),
              kCommandWrites);
    const auto reads = static_cast<std::size_t>(
        std::count_if(ops.begin(), ops.end(), [](const std::string& op) { return op.rfind("R fce0", 0) == 0; }));
    EXPECT_EQ(reads, c.pollReads + 1);
    if (c.doneAfterPolls < 0) {
      EXPECT_GE(clock.NowMs() - start, 1100u) << "11 pauses of 100 ms";
    }
    // Whatever happened, the controller is stopped on failure and the flash
    // is left unprotected.
    const bool aborted = std::find(ops.begin(), ops.end(), "W fce0 04") != ops.end();
    EXPECT_EQ(aborted, !c.ok);
    EXPECT_EQ(ops.back().rfind("RSR", 0), 0u);
    EXPECT_NE(std::find(ops.begin(), ops.end(), "WSR 00"), ops.end());
    hooked.onSleep = nullptr;
    recorder->answer = nullptr;
    VxCam_CloseDevice();
    bus.UnplugChip(bus.ChipCount() - 1);
  }
}

TEST_F(CamDevTest, FailedRegisterTransferEndsTheCommandAndIsReported) {
  CVxtCam& cam = OpenCurrent();
  // The opcode write (third register write) fails.
  int writes = 0;
  recorder->answer = [&](const SetupPacket& setup, std::span<std::uint8_t>) -> std::optional<TransferResult> {
    if (setup.bRequest == 0x24 && setup.wIndex >= 0xFCE0 && ++writes == 3) return TransferResult{kUsbErrorIo, 0};
    return std::nullopt;
  };
  EXPECT_EQ(cam.SpiControllerCommand(0x20, 0x1000), ResultFromError(kUsbErrorIo));
  std::vector<std::string> ops = RegisterOps(Wire());
  EXPECT_EQ(std::count_if(ops.begin(), ops.end(), [](const std::string& op) { return op.rfind("W fce9", 0) == 0; }),
            0)
      << "nothing after the failed write";
  EXPECT_NE(std::find(ops.begin(), ops.end(), "W fce0 04"), ops.end());
  EXPECT_NE(std::find(ops.begin(), ops.end(), "WSR 00"), ops.end());

  // A failing pin register read stops the protection change before the flash is touched.
  recorder->answer = [](const SetupPacket& setup, std::span<std::uint8_t>) -> std::optional<TransferResult> {
    if (setup.bRequest == 0x25 && setup.wIndex == 0xFEA6) return TransferResult{kUsbErrorDeviceGone, 0};
    return std::nullopt;
  };
  MarkWire();
  EXPECT_EQ(cam.ProtectFlash(), ResultFromError(kUsbErrorDeviceGone));
  EXPECT_EQ(RegisterOps(Wire()), (std::vector<std::string>{"R fea0 01"}));
  EXPECT_EQ(chip->state().statusRegister, 0x00);
  recorder->answer = nullptr;
}

}  // namespace
}  // namespace quillon
