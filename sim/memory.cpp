#include "sim/memory.h"

#include <algorithm>

namespace quillon::sim {
namespace {

bool IsDefective(std::span<const std::uint16_t> defective, std::uint32_t address) {
  return std::find(defective.begin(), defective.end(), address) != defective.end();
}

}  // namespace

std::vector<std::uint8_t> OtpReport::Bytes() const {
  std::vector<std::uint8_t> out(19, 0);
  out[0] = failCount;
  for (std::size_t i = 0; i < failed.size() && i < 8; ++i) {
    out[1 + 2 * i] = static_cast<std::uint8_t>(failed[i] >> 8);
    out[2 + 2 * i] = static_cast<std::uint8_t>(failed[i]);
  }
  out[17] = static_cast<std::uint8_t>(stopAddress >> 8);
  out[18] = static_cast<std::uint8_t>(stopAddress);
  return out;
}

ChipMemory::ChipMemory(MemoryKind kind, std::uint32_t size)
    : kind_(kind), bytes_(size, BlankValue(kind)), changedRows_((size + kJournalRow - 1) / kJournalRow, false) {}

void ChipMemory::Touch(std::uint64_t address, std::uint64_t length) {
  if (length == 0) return;
  for (std::uint64_t row = address / kJournalRow; row <= (address + length - 1) / kJournalRow; ++row) {
    if (row < changedRows_.size()) changedRows_[row] = true;
  }
  anyChanged_ = true;
}

std::vector<std::uint32_t> ChipMemory::TakeChangedRows() {
  std::vector<std::uint32_t> rows;
  if (!anyChanged_) return rows;
  for (std::size_t row = 0; row < changedRows_.size(); ++row) {
    if (!changedRows_[row]) continue;
    rows.push_back(static_cast<std::uint32_t>(row * kJournalRow));
    changedRows_[row] = false;
  }
  anyChanged_ = false;
  return rows;
}

bool ChipMemory::Read(std::uint32_t address, std::span<std::uint8_t> out) const {
  if (!InRange(address, out.size())) return false;
  std::copy_n(bytes_.begin() + address, out.size(), out.begin());
  return true;
}

bool ChipMemory::ProgramFlash(std::uint32_t address, std::span<const std::uint8_t> data) {
  if (!InRange(address, data.size())) return false;
  for (std::size_t i = 0; i < data.size(); ++i) bytes_[address + i] &= data[i];
  Touch(address, data.size());
  return true;
}

bool ChipMemory::Restore(std::uint32_t address, std::span<const std::uint8_t> data) {
  if (!InRange(address, data.size())) return false;
  std::copy(data.begin(), data.end(), bytes_.begin() + address);
  Touch(address, data.size());
  return true;
}

bool ChipMemory::WriteEeprom(std::uint32_t address, std::span<const std::uint8_t> data) {
  if (!InRange(address, data.size())) return false;
  std::copy(data.begin(), data.end(), bytes_.begin() + address);
  Touch(address, data.size());
  return true;
}

OtpReport ChipMemory::ProgramOtp(std::uint32_t address, std::span<const std::uint8_t> data, std::uint32_t budget,
                                 std::span<const std::uint16_t> defective) {
  OtpReport report;
  std::uint32_t failures = 0;
  std::size_t i = 0;
  for (; i < data.size() && InRange(address + i, 1); ++i) {
    const std::uint32_t at = address + static_cast<std::uint32_t>(i);
    std::uint8_t& cell = bytes_[at];
    const bool needsNewBits = (cell | data[i]) != cell;
    if (needsNewBits && IsDefective(defective, at)) {
      ++failures;
      if (report.failed.size() < 8) report.failed.push_back(static_cast<std::uint16_t>(at));
      if (failures > budget) break;  // programming stops at this byte
      continue;
    }
    cell |= data[i];
  }
  report.failCount = static_cast<std::uint8_t>(std::min<std::uint32_t>(failures, 0xFF));
  report.stopAddress = static_cast<std::uint16_t>(address + i);
  Touch(address, i);
  return report;
}

OtpReport ChipMemory::TestOtp(std::uint32_t address, std::span<const std::uint8_t> data,
                              std::span<const std::uint16_t> defective) const {
  OtpReport report;
  std::uint32_t failures = 0;
  for (std::size_t i = 0; i < data.size() && InRange(address + i, 1); ++i) {
    const std::uint32_t at = address + static_cast<std::uint32_t>(i);
    if ((bytes_[at] | data[i]) != bytes_[at] && IsDefective(defective, at)) {
      ++failures;
      if (report.failed.size() < 8) report.failed.push_back(static_cast<std::uint16_t>(at));
    }
  }
  report.failCount = static_cast<std::uint8_t>(std::min<std::uint32_t>(failures, 0xFF));
  report.stopAddress = static_cast<std::uint16_t>(address + data.size());
  return report;
}

void ChipMemory::EraseAll() {
  std::fill(bytes_.begin(), bytes_.end(), BlankValue(kind_));
  Touch(0, bytes_.size());
}

bool ChipMemory::EraseSector(std::uint32_t address) {
  const std::uint32_t start = address - address % kFlashSectorSize;
  if (!InRange(start, 1)) return false;
  const std::uint32_t end = std::min<std::uint32_t>(start + kFlashSectorSize, size());
  std::fill(bytes_.begin() + start, bytes_.begin() + end, BlankValue(kind_));
  Touch(start, end - start);
  return true;
}

bool ChipMemory::Load(std::span<const std::uint8_t> data) {
  if (data.size() > bytes_.size()) return false;
  std::copy(data.begin(), data.end(), bytes_.begin());
  Touch(0, data.size());
  return true;
}

}  // namespace quillon::sim
