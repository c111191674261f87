// The state file: the chips of a simulated bus in a small line-oriented text
// format, so that separate runs (write, then verify, then dump) see the same
// chips. Memory is stored as the 64-byte rows that differ from blank.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "sim/chip_state.h"

namespace quillon::sim {

inline constexpr std::uint32_t kMaxMemorySize = 1u << 28;

std::string SerializeStates(const std::vector<ChipState>& chips);
// False with a one-line reason when the text is not a valid state.
bool ParseStates(std::string_view text, std::vector<ChipState>& chips, std::string& error);

bool LoadStateFile(const std::filesystem::path& file, std::vector<ChipState>& chips, std::string& error);
// Writes a temporary file next to `file` and renames it over, so that a reader
// never sees half a state.
bool SaveStateFile(const std::filesystem::path& file, const std::vector<ChipState>& chips, std::string& error);

// Holds "<state file>.lock" exclusively (all processes), waiting at most
// `waitMs` on TheClock() for another holder.
class StateFileLock {
 public:
  explicit StateFileLock(const std::filesystem::path& stateFile, std::uint32_t waitMs = 10000);
  ~StateFileLock();
  StateFileLock(const StateFileLock&) = delete;
  StateFileLock& operator=(const StateFileLock&) = delete;
  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

}  // namespace quillon::sim
