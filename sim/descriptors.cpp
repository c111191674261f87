#include "sim/descriptors.h"

#include <initializer_list>

namespace quillon::sim {
namespace {

void Put(std::vector<std::uint8_t>& out, std::initializer_list<std::uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

std::uint8_t Lo(std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
std::uint8_t Hi(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }

void PatchTotal(std::vector<std::uint8_t>& out, std::size_t at, std::size_t total) {
  out[at] = Lo(static_cast<std::uint16_t>(total));
  out[at + 1] = Hi(static_cast<std::uint16_t>(total));
}

std::vector<std::uint8_t> AudioConfiguration() {
  std::vector<std::uint8_t> d;
  Put(d, {9, 2, 0, 0, 1, 1, 0, 0x80, 50});                   // configuration, one interface
  Put(d, {9, 4, kControlInterface, 0, 0, 0x01, 0x01, 0, 0});  // audio control interface
  const std::size_t header = d.size();
  Put(d, {8, 0x24, 0x01, 0x00, 0x01, 0, 0, 0});  // AC header, bcdADC 1.00, no streaming interfaces
  Put(d, {12, 0x24, 0x02, 1, 0x01, 0x02, 0, 2, 0x03, 0x00, 0, 0});  // input terminal 1 (microphone)
  // Extension unit: wExtensionCode = maker's vendor id, one input pin from terminal 1.
  Put(d, {15, 0x24, 0x08, kExtensionUnitId, Lo(kMakerVendorId), Hi(kMakerVendorId), 1, 1, 2, 0x03, 0x00, 0, 1,
          0x01, 0});
  Put(d, {9, 0x24, 0x03, 2, 0x01, 0x01, 0, kExtensionUnitId, 0});  // output terminal 2 (USB streaming)
  PatchTotal(d, header + 5, d.size() - header);
  PatchTotal(d, 2, d.size());
  return d;
}

std::vector<std::uint8_t> CameraConfiguration() {
  std::vector<std::uint8_t> d;
  Put(d, {9, 2, 0, 0, 2, 1, 0, 0x80, 250});             // configuration, two interfaces
  Put(d, {8, 0x0B, kControlInterface, 2, 0x0E, 0x03, 0x00, 0});  // association: video interface collection
  Put(d, {9, 4, kControlInterface, 0, 0, 0x0E, 0x01, 0x00, 0});  // video control interface
  const std::size_t header = d.size();
  Put(d, {13, 0x24, 0x01, 0x00, 0x01, 0, 0, 0x80, 0x8D, 0x5B, 0x00, 1, 1});  // VC header 1.00, 6 MHz, one VS interface
  Put(d, {18, 0x24, 0x02, 1, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0});  // camera terminal 1
  // Extension unit: 24 + pins + control bytes long; bNumControls at 20, bNrInPins
  // at 21, bControlSize at 22 + pins, bmControls from 23 + pins.
  std::vector<std::uint8_t> unit = {0, 0x24, 0x06, kExtensionUnitId};
  unit.insert(unit.end(), kExtensionUnitGuid.begin(), kExtensionUnitGuid.end());
  Put(unit, {2, 1, 1, 2, 0x00, 0x06, 0});  // two controls, one pin from terminal 1, controls 10 and 11
  unit[0] = static_cast<std::uint8_t>(unit.size());
  d.insert(d.end(), unit.begin(), unit.end());
  Put(d, {9, 0x24, 0x03, 2, 0x01, 0x01, 0, kExtensionUnitId, 0});  // output terminal 2 (streaming)
  PatchTotal(d, header + 5, d.size() - header);
  Put(d, {9, 4, 1, 0, 0, 0x0E, 0x02, 0x00, 0});  // video streaming interface, no alternate settings
  Put(d, {13, 0x24, 0x01, 0, 13, 0, 0x81, 0, 2, 0, 0, 0, 0});  // VS input header, no formats
  PatchTotal(d, 2, d.size());
  return d;
}

std::vector<std::uint8_t> StringOf(const std::string& text) {
  std::vector<std::uint8_t> d = {0, 3};
  for (char c : text) Put(d, {static_cast<std::uint8_t>(c), 0});
  d[0] = static_cast<std::uint8_t>(d.size());
  return d;
}

}  // namespace

std::vector<std::uint8_t> DeviceDescriptor(const ChipConfig& config) {
  const bool camera = config.kind == DeviceKind::kCamera;
  return {18,
          1,
          0x00,
          0x02,
          static_cast<std::uint8_t>(camera ? 0xEF : 0x00),
          static_cast<std::uint8_t>(camera ? 0x02 : 0x00),
          static_cast<std::uint8_t>(camera ? 0x01 : 0x00),
          64,
          Lo(config.vendorId),
          Hi(config.vendorId),
          Lo(config.productId),
          Hi(config.productId),
          Lo(config.bcdDevice),
          Hi(config.bcdDevice),
          kManufacturerIndex,
          kProductIndex,
          kSerialIndex,
          1};
}

std::vector<std::uint8_t> ConfigurationDescriptor(const ChipConfig& config) {
  return config.kind == DeviceKind::kCamera ? CameraConfiguration() : AudioConfiguration();
}

std::optional<std::vector<std::uint8_t>> StringDescriptor(const ChipConfig& config, std::uint8_t index,
                                                          const std::string& serial) {
  switch (index) {
    case 0: return std::vector<std::uint8_t>{4, 3, 0x09, 0x04};
    case kManufacturerIndex: return StringOf(kManufacturerText);
    case kProductIndex: return StringOf(config.kind == DeviceKind::kCamera ? "USB Camera" : "USB Audio Device");
    case kSerialIndex: return StringOf(serial);
    default: return std::nullopt;
  }
}

}  // namespace quillon::sim
