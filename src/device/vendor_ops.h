// The operations of the vendor-command interface, as one list that both
// transports' encoding tables (xu_commands.h, vendor_requests.h) are keyed by,
// and the splitting rule that both apply to requests longer than one command
// can carry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "device/result.h"

namespace quillon {

enum class VendorOp : std::uint8_t {
  kGetDevStatus,
  kResetToUpdateFW,
  kResetToNewCode,
  kResetToRom,
  kReadIMem,
  kReadMem,
  kWriteMem,
  kReadCode,
  kReadPhy,
  kWritePhy,
  kNorFlashErase,
  kNorFlashRead,
  kNorFlashWrite,
  kNorFlashWriteTag,
  kSpiReadId,
  kSpiRead,
  kSpiWrite,
  kSpiReadSr,
  kSpiWriteSr,
  kSpiEraseChip,
  kSpiEraseSector,
  kSpiWriteTag,
  kEep8Erase,
  kEep8Read,
  kEep8Write,
  kEep16Erase,
  kEep16Read,
  kEep16Write,
  kExtMemRead,
  kExtMemWrite,
  kI2CReadSlave,
  kI2CReadRegister,
  kI2CWriteSlave,
  kI2CWriteRegister,
  kI2CGenRead,
  kI2CGenWrite,
  kI2CRandomRead,
  kI2CRandomWrite,
  kI2CSuperRead,
  kI2CSuperWrite,
  kI2CLongRead,
  kI2CLongWrite,
  kOtpWrite,
  kOtpRead,
  kOtpBlankCheck,
  kOtpAllBlankCheck,
  kOtpReadProgramFailAdr,
  kOtpTestDec,
  kOtpWriteTest,
  kChangeDataControlSize,
  kDevQualify,
  kAbort,
  kReadRequest6Byte,
  kSendRequest10,
  kCount,
};

inline constexpr std::size_t kOpCount = static_cast<std::size_t>(VendorOp::kCount);
inline constexpr std::size_t kNoRow = kOpCount;

// Where each operation's row stands in a transport's table (kNoRow: the
// transport does not carry it).
template <class Row, std::size_t N>
constexpr std::array<std::size_t, kOpCount> RowIndex(const std::array<Row, N>& rows) {
  std::array<std::size_t, kOpCount> index{};
  index.fill(kNoRow);
  for (std::size_t i = 0; i < N; ++i) index[static_cast<std::size_t>(rows[i].op)] = i;
  return index;
}

// Each operation has one row at most, and every row a real operation.
template <class Row, std::size_t N>
constexpr bool OneRowPerOperation(const std::array<Row, N>& rows) {
  std::array<bool, kOpCount> seen{};
  for (const Row& row : rows) {
    const auto op = static_cast<std::size_t>(row.op);
    if (op >= kOpCount || seen[op]) return false;
    seen[op] = true;
  }
  return true;
}

// A request of more than `limit` bytes goes in `piece`-byte requests through
// `reenter` (the operation's own slot, so each piece is a whole operation of
// its own), the rest (1..limit bytes) through `last`. The first failing piece
// ends it; nothing to do for an empty rest.
template <class Span, class Reenter, class Last>
std::uint32_t SplitRequest(std::uint32_t address, Span buffer, std::size_t limit, std::size_t piece, Reenter&& reenter,
                           Last&& last) {
  while (buffer.size() > limit) {
    const std::uint32_t result = reenter(address, buffer.first(piece));
    if (result != kResultOk) return result;
    address += static_cast<std::uint32_t>(piece);
    buffer = buffer.subspan(piece);
  }
  if (buffer.empty()) return kResultOk;
  return last(address, buffer);
}

// Calls the operation `slot` of `self` for one piece: with the caller's extra
// arguments (a flash select) and progress callback where the slot takes them.
template <class Self, class Slot, class Progress, class... Extra>
auto Reentry(Self* self, Slot slot, Progress progress, void* user, Extra... extra) {
  return [=](std::uint32_t address, auto piece) -> std::uint32_t {
    if constexpr (std::is_invocable_v<Slot, Self*, std::uint32_t, decltype(piece), Extra..., Progress, void*>) {
      return (self->*slot)(address, piece, extra..., progress, user);
    } else {
      return (self->*slot)(address, piece);
    }
  };
}

}  // namespace quillon
