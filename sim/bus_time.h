// How long control transfers would take on a real bus. A model from counts, not
// a measurement, in two parts:
// - latency, the chip's own: a control transfer has a setup stage, one data
//   stage per 64-byte packet and a status stage, and the host schedules each
//   stage in its own frame (1 ms at full speed) or microframe (125 us at high
//   speed). Chips on one bus wait side by side, so their latencies overlap.
// - occupancy, the bus's: the wire carrying the transfer's packets, its bytes
//   and every transaction's protocol overhead at the bus's bit rate. Only one
//   packet is on a bus at a time, so the chips of one bus add theirs up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/chip_config.h"

namespace quillon::sim {

struct ChipState;
struct RunStats;

inline constexpr std::size_t kControlPacketSize = 64;
inline constexpr std::size_t kSetupBytes = 8;

constexpr std::uint64_t ControlTransactions(std::size_t dataBytes) {
  return 2 + (dataBytes + kControlPacketSize - 1) / kControlPacketSize;
}

constexpr std::uint64_t ControlTransferLatencyUs(BusSpeed speed, std::size_t dataBytes) {
  return ControlTransactions(dataBytes) * (speed == BusSpeed::kFull ? 1000 : 125);
}

// Besides its payload, each transaction carries a token, a data and a handshake
// packet with their sync, PID, CRC and end-of-packet fields and the gaps
// between them: USB 2.0 counts 37 bytes (full speed) and 165 bytes (high speed)
// for a control transfer of three transactions, its 8 setup bytes aside; per
// transaction 99 bits (rounded up) and 440 bits.
constexpr std::uint64_t ControlTransferOccupancyNs(BusSpeed speed, std::size_t dataBytes) {
  const std::uint64_t overheadBitsPerTransaction = speed == BusSpeed::kFull ? 99 : 440;
  const std::uint64_t bitsPerUs = speed == BusSpeed::kFull ? 12 : 480;
  const std::uint64_t bits = ControlTransactions(dataBytes) * overheadBitsPerTransaction + (kSetupBytes + dataBytes) * 8;
  return (bits * 1000 + bitsPerUs - 1) / bitsPerUs;
}

constexpr std::uint64_t NsToUs(std::uint64_t ns) { return (ns + 999) / 1000; }

// One transfer of a chip alone on its bus.
constexpr std::uint64_t ControlTransferTimeUs(BusSpeed speed, std::size_t dataBytes) {
  return ControlTransferLatencyUs(speed, dataBytes) + NsToUs(ControlTransferOccupancyNs(speed, dataBytes));
}

// The chips of one bus running at once: the longest chain of waits, plus every
// chip's packets on the shared wire (counted as if no packet of one chip ever
// fitted into another chip's wait, so never shorter than the real bus).
std::uint64_t SharedBusTimeUs(std::span<const RunStats> chips);

// The bus that stays busy longest: chips are grouped by the bus of their
// location ("1-2" is on bus 1); separate buses run side by side.
std::uint64_t SlowestBusTimeUs(const std::vector<ChipState>& chips);

}  // namespace quillon::sim
