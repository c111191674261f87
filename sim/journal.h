// The chip's changes during a run, appended to a file beside the state file
// as they happen, so that a host process killed mid-run leaves the chip as it
// was at the kill: the next load replays them over the saved state. Each
// record is one line with its own checksum, written by one call; a record cut
// short by the kill is ignored.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "sim/chip_state.h"

namespace quillon::sim {


std::filesystem::path JournalPath(const std::filesystem::path& stateFile, const std::string& location);

// One record: its sequence number, the chip's fields, and the listed rows of
// kJournalRow bytes as the memory holds them now.
std::string JournalRecord(std::uint32_t sequence, const ChipFields& fields, const ChipMemory& memory,
                          std::span<const std::uint32_t> rows);

// Applies the records numbered after chip.journalSequence, in order, up to the
// first damaged one; a chip that took any also has its run's faults spent, as
// the killed run had them. Returns how many it applied.
std::size_t ReplayJournal(std::string_view text, ChipState& chip);

// Appends records to one chip's journal; a failed write is reported once.
class JournalWriter {
 public:
  explicit JournalWriter(std::filesystem::path file);
  ~JournalWriter();
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  bool Append(std::string_view record);

 private:
  std::filesystem::path file_;
  int fd_ = -1;
};

}  // namespace quillon::sim
