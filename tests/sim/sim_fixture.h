// A simulated bus on a virtual clock, and the host side of the chip's
// protocols reduced to single transfers, so that each test reads as the
// transfers it makes.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "platform/virtual_clock.h"
#include "sim/chip.h"
#include "sim/sim_bus.h"

namespace quillon::sim::testing {

class SimFixture : public ::testing::Test {
 protected:
  SimChip& AddAndOpen(const ChipConfig& config = {}) {
    SimChip& chip = bus.AddChip(config);
    handle = OpenAt(chip.state().location);
    return chip;
  }

  // Opens whatever instance is at `location` now; 0 when none.
  UsbHandle OpenAt(const std::string& location) {
    std::vector<UsbDeviceInfo> devices;
    bus.ListDevices(devices);
    for (const auto& d : devices) {
      UsbHandle h = 0;
      if (d.location == location && bus.Open(d.instance, h) == kUsbOk) return h;
    }
    return 0;
  }

  TransferResult Transfer(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                          std::vector<std::uint8_t>& data) {
    SetupPacket setup{type, request, value, index, static_cast<std::uint16_t>(data.size())};
    return bus.ControlTransfer(handle, setup, data, 5000);
  }

  // SET_CUR of the command control with the 8-byte block.
  std::uint32_t Command(std::array<std::uint8_t, 8> block) {
    std::vector<std::uint8_t> data(block.begin(), block.end());
    return Transfer(0x21, 0x01, 0x0A00, 0x0300, data).error;
  }
  std::uint32_t DataOut(std::vector<std::uint8_t> piece) { return Transfer(0x21, 0x01, 0x0B00, 0x0300, piece).error; }
  std::vector<std::uint8_t> DataIn(std::size_t size, std::uint32_t* error = nullptr) {
    std::vector<std::uint8_t> data(size, 0xCC);
    TransferResult r = Transfer(0xA1, 0x81, 0x0B00, 0x0300, data);
    if (error != nullptr) *error = r.error;
    return r.ok() ? data : std::vector<std::uint8_t>{};
  }
  // Byte 0 of GET_CUR on the command control.
  int Status() {
    std::vector<std::uint8_t> data(8, 0xCC);
    return Transfer(0xA1, 0x81, 0x0A00, 0x0300, data).ok() ? data[0] : -1;
  }
  int GetLen() {
    std::vector<std::uint8_t> data(2);
    return Transfer(0xA1, 0x85, 0x0B00, 0x0300, data).ok() ? data[0] | data[1] << 8 : -1;
  }
  std::uint32_t Abort() { return Command({0xFF, 0, 0, 0, 0, 0, 0, 0}); }

  // A whole extension-unit read: command, then pieces of `size` bytes.
  std::vector<std::uint8_t> XuRead(std::array<std::uint8_t, 8> block, std::size_t length, std::size_t size = 8) {
    if (Command(block) != kUsbOk) return {};
    std::vector<std::uint8_t> out;
    while (out.size() < length) {
      auto piece = DataIn(size);
      if (piece.empty()) return {};
      out.insert(out.end(), piece.begin(), piece.begin() + std::min(size, length - out.size()));
    }
    return out;
  }
  // A whole extension-unit write, the last piece zero-padded.
  std::uint32_t XuWrite(std::array<std::uint8_t, 8> block, std::vector<std::uint8_t> bytes, std::size_t size = 8) {
    if (std::uint32_t e = Command(block); e != kUsbOk) return e;
    for (std::size_t at = 0; at < bytes.size(); at += size) {
      std::vector<std::uint8_t> piece(size, 0);
      std::copy_n(bytes.begin() + at, std::min(size, bytes.size() - at), piece.begin());
      if (std::uint32_t e = DataOut(piece); e != kUsbOk) return e;
    }
    return kUsbOk;
  }
  std::vector<std::uint8_t> ReadMem(std::uint16_t address, std::uint16_t length) {
    return XuRead({0x00, 0xC2, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
                   static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8), 0, 0},
                  length);
  }
  std::uint32_t WriteMem(std::uint16_t address, std::uint8_t value) {
    return XuWrite({0x00, 0x82, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8), 1, 0, 0, 0},
                   {value});
  }

  VirtualClock clock;
  ScopedClockOverride clockOverride{clock};
  SimBus bus;
  UsbHandle handle = 0;
};

// The block of an SPI flash command with a 32-bit address.
inline std::array<std::uint8_t, 8> SpiBlock(std::uint8_t opcode, std::uint32_t address, std::uint16_t length) {
  return {0x02, opcode, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
          static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 24)};
}

}  // namespace quillon::sim::testing
