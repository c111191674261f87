#include "sweep/sweep_setups.h"

#include <cstdio>
#include <cstdlib>

#include "flow/flash_image_parts.h"
#include "image_maker.h"
#include "sweep/sweep_harness.h"

namespace quillon::sweep {
namespace {

const std::array<std::uint8_t, 8> kOldVersion = {0x41, 0x18, 0x00, 0x00, 0x01, 0x14, 0x00, 0x00};

// The image of `spec`, older when `old`; a set-up without its image cannot run.
std::vector<std::uint8_t> Made(mkimage::ImageSpec spec, bool old) {
  if (old) spec.version = kOldVersion;
  std::string error;
  auto image = mkimage::MakeImage(spec, &error);
  if (!image) {
    std::fprintf(stderr, "cannot make an image for the sweep: %s\n", error.c_str());
    std::exit(2);
  }
  return *image;
}

// A flash image whose area spans several pages.
std::vector<std::uint8_t> Image(const char* ic, std::size_t size = 0x10000, std::optional<std::uint32_t> configAt = {},
                                bool old = false) {
  mkimage::ImageSpec spec;
  spec.ic = ic;
  spec.size = size;
  spec.configAt = configAt;
  spec.smallCache = size >= 0x10000 && std::string(ic) != "tq7702" ? 1024 : 128;
  return Made(spec, old);
}

std::vector<std::uint8_t> EepromImage(sim::MemoryKind kind, bool old = false) {
  mkimage::ImageSpec spec;
  spec.memory = kind == sim::MemoryKind::kEeprom8 ? mkimage::Memory::Eeprom8 : mkimage::Memory::Eeprom16;
  spec.configAt = 0;
  spec.size = 0x400;
  return Made(spec, old);
}

std::vector<std::uint8_t> OtpImage(bool old = false) {
  mkimage::ImageSpec spec;
  spec.memory = mkimage::Memory::Otp;
  spec.configAt = 0;
  spec.size = 0x4000;
  spec.smallCache = 1024;
  // The older image differs in its configuration part too (the version alone
  // lies in the code part), so a chip that mixes the two shows.
  if (old) spec.serial = "QL0000000000";
  return Made(spec, old);
}

// The customer's image (3A7C/0022); with `payload`, its area holds the
// preserved record the chip keeps across downloads.
std::vector<std::uint8_t> CustomerImage(bool old, const std::vector<std::uint8_t>& payload = {}) {
  mkimage::ImageSpec spec;
  spec.pid = kPreservedRecordPid;
  spec.smallCache = 1024;
  auto image = Made(spec, old);
  if (!payload.empty() && !PutPreservedRecord(std::span(image).subspan(0xF000, 0x1000), payload)) {
    std::fprintf(stderr, "cannot put the preserved record into the sweep's image\n");
    std::exit(2);
  }
  return image;
}

sim::ChipConfig Chip(sim::IcFamily ic, sim::Transport transport, sim::MemoryKind memory = sim::MemoryKind::kSpi) {
  sim::ChipConfig config;
  config.ic = ic;
  config.transport = transport;
  config.memory = memory;
  config.offBusMs = 20;
  return config;
}

}  // namespace

MemoryType FlowMemoryOf(sim::MemoryKind memory) {
  switch (memory) {
    case sim::MemoryKind::kSpi: return MemoryType::SpiFlash;
    case sim::MemoryKind::kNor: return MemoryType::NorFlash;
    case sim::MemoryKind::kEeprom8: return MemoryType::Eeprom8;
    case sim::MemoryKind::kEeprom16: return MemoryType::Eeprom16;
    case sim::MemoryKind::kOtp: return MemoryType::Otp;
  }
  return MemoryType::SpiFlash;
}

std::optional<std::vector<sim::ChipState>> FirstChips(const SetUp& s) {
  sim::ChipState chip(s.chip, "1-1");
  if (!s.downloadedBefore && !s.onChip.empty() && !chip.memory.Load(s.onChip)) return std::nullopt;
  chip.norTagged = s.chip.memory == sim::MemoryKind::kNor && !s.onChip.empty();
  return PowerCycled({chip});
}

std::vector<SetUp> AllSetUps() {
  using sim::IcFamily;
  using sim::Transport;
  const auto v7704 = Image("tq7704"), old7704 = Image("tq7704", 0x10000, {}, true);
  const auto v7702 = Image("tq7702"), old7702 = Image("tq7702", 0x10000, {}, true);
  const auto zero = Image("tq7704", 0x10000, 0);
  const auto small = Image("tq7704", 0x4000, 0);
  auto differs = old7704;
  differs.back() ^= 0x01;
  constexpr auto kNor = sim::MemoryKind::kNor;
  constexpr auto kOtp = sim::MemoryKind::kOtp;
  const auto otp = OtpImage(), oldOtp = OtpImage(true);
  constexpr auto k8 = sim::MemoryKind::kEeprom8;
  constexpr auto k16 = sim::MemoryKind::kEeprom16;
  const auto ee8 = EepromImage(k8), oldEe8 = EepromImage(k8, true);
  const auto ee16 = EepromImage(k16), oldEe16 = EepromImage(k16, true);
  auto ee8Differs = oldEe8;
  ee8Differs.back() ^= 0x01;

  auto customer = Chip(IcFamily::kTq7704, Transport::kXu);
  customer.productId = kPreservedRecordPid;
  const std::vector<std::uint8_t> record = {'C', 'A', 'L', 0x01, 0x02, 0x03, 0x04, 0x05};

  std::vector<SetUp> setUps = {
      // Flash without a tag: the area signature alone starts the chip.
      {"tq7704-blank-xu", Chip(IcFamily::kTq7704, Transport::kXu), {}, 'W', v7704},
      {"tq7704-old-xu", Chip(IcFamily::kTq7704, Transport::kXu), old7704, 'W', v7704},
      {"tq7704-old-vr", Chip(IcFamily::kTq7704, Transport::kBoth), old7704, 'W', v7704},
      // Flash with a tag.
      {"tq7702-blank-xu", Chip(IcFamily::kTq7702, Transport::kXu), {}, 'W', v7702},
      {"tq7702-old-xu", Chip(IcFamily::kTq7702, Transport::kXu), old7702, 'W', v7702},
      {"tq7702-old-vr", Chip(IcFamily::kTq7702, Transport::kBoth), old7702, 'W', v7702},
      // The configuration area at offset 0: ROM code starts it.
      {"area-at-zero-old-xu", Chip(IcFamily::kTq7704, Transport::kXu), old7704, 'W', zero},
      // A 16 KB image in the OTP-simulation layout.
      {"simulated-otp-blank-xu", Chip(IcFamily::kTq7704, Transport::kXu), {}, 'W', small},
      {"simulated-otp-old-vr", Chip(IcFamily::kTq7704, Transport::kBoth), old7704, 'W', small},
      // Verify of a file one byte off, and erase.
      {"verify-old-xu", Chip(IcFamily::kTq7704, Transport::kXu), old7704, 'V', differs, 0xEFFE, true},
      {"erase-old-xu", Chip(IcFamily::kTq7704, Transport::kXu), old7704, 'E', {}},
      {"erase-old-vr", Chip(IcFamily::kTq7702, Transport::kBoth), old7702, 'E', {}},
      // The customer's chip with its preserved record: the new image gets it.
      {"record-old-xu", customer, CustomerImage(true, record), 'W', CustomerImage(false), 0xEFFE, false, false, false,
       false, true},
      // NOR flash: the tag flag starts it.
      {"nor-blank-xu", Chip(IcFamily::kTq7704, Transport::kXu, kNor), {}, 'W', v7704, 0xEFFE, false, true},
      {"nor-old-xu", Chip(IcFamily::kTq7704, Transport::kXu, kNor), old7704, 'W', v7704, 0xEFFE, false, true},
      // EEPROM, 8- and 16-bit addressed: the flow writes the start byte last.
      {"eeprom8-blank-xu", Chip(IcFamily::kTq7704, Transport::kXu, k8), {}, 'W', ee8},
      {"eeprom8-old-xu", Chip(IcFamily::kTq7704, Transport::kXu, k8), oldEe8, 'W', ee8},
      {"eeprom8-old-vr", Chip(IcFamily::kTq7704, Transport::kBoth, k8), oldEe8, 'W', ee8},
      {"eeprom16-blank-xu", Chip(IcFamily::kTq7704, Transport::kXu, k16), {}, 'W', ee16},
      {"eeprom16-old-xu", Chip(IcFamily::kTq7704, Transport::kXu, k16), oldEe16, 'W', ee16},
      {"eeprom16-old-vr", Chip(IcFamily::kTq7704, Transport::kBoth, k16), oldEe16, 'W', ee16},
      {"eeprom8-verify-old-xu", Chip(IcFamily::kTq7704, Transport::kXu, k8), oldEe8, 'V', ee8Differs, 0xEFFE, true},
      {"eeprom8-erase-old-xu", Chip(IcFamily::kTq7704, Transport::kXu, k8), oldEe8, 'E', {}},
      // OTP: every download adds blocks; the block table says which ones start.
      // From blank no cut starts anything partial; an update has its window.
      {"otp-blank-xu", Chip(IcFamily::kTq7704, Transport::kXu, kOtp), {}, 'W', otp},
      {"otp-old-xu", Chip(IcFamily::kTq7704, Transport::kXu, kOtp), oldOtp, 'W', otp, 0xEFFE, false, false, true,
       false, false, true},
      {"otp-old-vr", Chip(IcFamily::kTq7704, Transport::kBoth, kOtp), oldOtp, 'W', otp, 0xEFFE, false, false, true,
       false, false, true},
  };
  // Vendor-only chips: the tool finds them through its detection phase.
  SetUp vendor{"tq7704-old-vendor", Chip(IcFamily::kTq7704, Transport::kVendor), old7704, 'W', v7704};
  vendor.commandLineOnly = true;
  setUps.push_back(vendor);
  vendor = {"tq7704-blank-vendor", Chip(IcFamily::kTq7704, Transport::kVendor), {}, 'W', v7704};
  vendor.commandLineOnly = true;
  setUps.push_back(vendor);
  vendor = {"eeprom8-old-vendor", Chip(IcFamily::kTq7704, Transport::kVendor, k8), oldEe8, 'W', ee8};
  vendor.commandLineOnly = true;
  setUps.push_back(vendor);
  // An erase names no memory type: the chip's answers to the probe do, where
  // a stall is both a missing memory's answer and a glitch.
  vendor = {"erase-old-vendor", Chip(IcFamily::kTq7704, Transport::kVendor), old7704, 'E', {}};
  vendor.commandLineOnly = true;
  setUps.push_back(vendor);
  vendor = {"eeprom8-erase-old-vendor", Chip(IcFamily::kTq7704, Transport::kVendor, k8), oldEe8, 'E', {}};
  vendor.commandLineOnly = true;
  setUps.push_back(vendor);
  // A station that writes each unit's serial number into the area.
  SetUp serial{"savesn-old-xu", Chip(IcFamily::kTq7704, Transport::kXu), old7704, 'W', v7704};
  serial.commandLineOnly = true;
  serial.settings = "SaveSN=1\r\nSN Address=1\r\n";
  serial.serial = "SN-0042";
  setUps.push_back(serial);
  serial.name = "savesn-old-vr";
  serial.chip = Chip(IcFamily::kTq7704, Transport::kBoth);
  setUps.push_back(serial);
  return setUps;
}

}  // namespace quillon::sweep
