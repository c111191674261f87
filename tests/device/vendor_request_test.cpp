// The vendor-request transport on a simulated chip: request codes, the packed
// fields, 4096-byte pieces and the chip erase's own time-out.
#include "device/vendor_request_v2.h"
#include "device_fixture.h"

namespace quillon {
namespace {

using testing::DeviceFixture;

class VendorRequestTest : public DeviceFixture {
 protected:
  sim::SimChip& Open(sim::ChipConfig config) {
    config.transport = sim::Transport::kBoth;
    sim::SimChip& chip = AddAndOpen(config);
    vendor = std::make_unique<CVendorRequestV2>(record.hVxProxyDev);
    MarkWire();
    recorder->sent.clear();
    return chip;
  }
  std::unique_ptr<CVendorRequestV2> vendor;
};

TEST_F(VendorRequestTest, ReadMemPiecesCarryAddressBitsAbove16InWValue) {
  Open({});
  // The chip's register space ends at 64 KB: answer these reads in its place.
  recorder->answer = [](const SetupPacket& s, std::span<std::uint8_t>) -> std::optional<TransferResult> {
    if (s.bRequest == 0x25) return TransferResult{kUsbOk, s.wLength};
    return std::nullopt;
  };
  std::vector<std::uint8_t> out(0x2000);
  std::uint32_t progressed = 0;
  auto count = [](void* user, std::uint32_t bytes) { *static_cast<std::uint32_t*>(user) += bytes; };
  EXPECT_EQ(vendor->ReadMem(0x1F000, out, count, &progressed), kResultOk);
  ASSERT_EQ(recorder->sent.size(), 2u);
  const SetupPacket& first = recorder->sent[0].setup;
  const SetupPacket& second = recorder->sent[1].setup;
  EXPECT_EQ(first.bmRequestType, 0xC0);
  EXPECT_EQ(first.wValue, 0x0100);
  EXPECT_EQ(first.wIndex, 0xF000);
  EXPECT_EQ(first.wLength, 0x1000);
  EXPECT_EQ(second.wValue, 0x0200);
  EXPECT_EQ(second.wIndex, 0x0000);
  EXPECT_EQ(progressed, 0x2000u);
}

TEST_F(VendorRequestTest, SpiReadWithSelectorAndTheWriteTagOfTheEeprom) {
  sim::SimChip& chip = Open({.memorySize = 0x20000});
  std::vector<std::uint8_t> image(0x20000, 0xFF);
  image[0x12345] = 0x42;
  ASSERT_TRUE(chip.state().memory.Load(image));
  std::array<std::uint8_t, 16> out{};
  vendor->SPI_SF_Read(0x12345, out, 3);
  ASSERT_EQ(recorder->sent.size(), 1u);
  const SetupPacket& s = recorder->sent[0].setup;
  EXPECT_EQ((std::array<unsigned, 5>{s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength}),
            (std::array<unsigned, 5>{0xC0, 0x2E, 0x0103, 0x2345, 16}));

  MarkWire();
  EXPECT_EQ(vendor->SPI_SF_Read(0x12345, out, 0), kResultOk);
  EXPECT_EQ(out[0], 0x42);
  EXPECT_EQ(Wire()[0].substr(0, 23), "c0 2e 0100 2345 0010 42");
}

TEST_F(VendorRequestTest, EepromTagIsOneByteAtAddressOne) {
  sim::SimChip& chip = Open({.memory = sim::MemoryKind::kEeprom8});
  EXPECT_EQ(vendor->I2C_EEP8_WriteTag(), kResultOk);
  EXPECT_EQ(Wire(), std::vector<std::string>{"40 36 0000 0001 0001 a5"});
  EXPECT_EQ(chip.state().memory.bytes()[1], 0xA5);
}

TEST_F(VendorRequestTest, StatusPiecesAndAShortLastPiece) {
  Open({});
  std::array<std::uint8_t, 12> status;
  status.fill(0xEE);
  EXPECT_EQ(vendor->GetDevStatus(0, status), kResultOk);
  auto wire = Wire();
  ASSERT_EQ(wire.size(), 2u);
  EXPECT_EQ(wire[0].substr(0, 20), "c0 07 0000 0000 0008");
  EXPECT_EQ(wire[1].substr(0, 20), "c0 07 0001 0000 0008");
}

TEST_F(VendorRequestTest, ChipEraseUsesTheCallersTimeOut) {
  sim::SimChip& chip = Open({});
  chip.state().faults.slowEraseMs = 30000;
  EXPECT_EQ(vendor->SPI_SF_EraseChip(20000), 0x800705B4u) << "the erase outlasts its time-out";
  ASSERT_EQ(recorder->sent.size(), 1u);
  EXPECT_EQ(recorder->sent[0].setup.bRequest, 0x32);
  EXPECT_EQ(recorder->sent[0].timeoutMs, 20000u);

  chip.state().faults.slowEraseMs = 0;
  clock.Advance(30000);
  EXPECT_EQ(vendor->SPI_SF_EraseChip(20000), kResultOk);
}

TEST_F(VendorRequestTest, RequestsTheTransportLacksOrCannotEncode) {
  Open({});
  std::array<std::uint8_t, 4> buffer{};
  EXPECT_EQ(vendor->I2CLongRead(0x50, 0, buffer), kResultNotImplemented);
  EXPECT_EQ(vendor->OTP_Read(0, buffer), kResultNotImplemented);
  EXPECT_EQ(vendor->I2CRead(std::uint16_t{0x50}, buffer), kResultNotImplemented);
  EXPECT_EQ(vendor->ReadMem(0x100000, buffer), kResultInvalidArgument);
  EXPECT_EQ(vendor->SPI_SF_EraseSector(0x1001, 0x1000), kResultInvalidArgument);
  EXPECT_TRUE(recorder->sent.empty());
  EXPECT_EQ(vendor->SPI_SF_ReadSr(buffer[0]), kResultOk);
  EXPECT_EQ(vendor->ReadMem(0x0000, std::span(buffer).first(0)), kResultOk);
  EXPECT_EQ(recorder->sent.size(), 1u);
}

TEST_F(VendorRequestTest, StalledRequestIsAFailedTransfer) {
  Open({});
  std::array<std::uint8_t, 8> out{};
  // Past the flash: the chip stalls the request.
  EXPECT_EQ(vendor->SPI_SF_Read(0x20000, out, 0), 0x8007001Fu);
}

}  // namespace
}  // namespace quillon
