// How long control transfers would take on a real bus. A model from counts, not
// a measurement: a control transfer has a setup stage, one data stage per
// 64-byte packet and a status stage; the host schedules each stage in its own
// frame (1 ms at full speed) or microframe (125 us at high speed), and the bytes
// themselves take their time at the bus's bit rate.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/chip_config.h"

namespace quillon::sim {

inline constexpr std::size_t kControlPacketSize = 64;

constexpr std::uint64_t ControlTransferTimeUs(BusSpeed speed, std::size_t dataBytes) {
  const std::uint64_t packets = (dataBytes + kControlPacketSize - 1) / kControlPacketSize;
  const std::uint64_t stages = 2 + packets;
  const std::uint64_t frameUs = speed == BusSpeed::kFull ? 1000 : 125;
  const std::uint64_t bitsPerUs = speed == BusSpeed::kFull ? 12 : 480;
  const std::uint64_t bits = (8 + dataBytes) * 8;  // setup packet and data
  return stages * frameUs + (bits + bitsPerUs - 1) / bitsPerUs;
}

}  // namespace quillon::sim
