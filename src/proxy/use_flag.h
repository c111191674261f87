// "VxtUpx.flag": tells the instances of the tool that share the USB library
// whether another one still uses it. Every instance holds a shared lock on the
// file while it runs; the one that finds no other holder when it leaves is
// the last and removes the file.
#pragma once

#include <filesystem>

namespace quillon {

inline constexpr const char* kUseFlagFileName = "VxtUpx.flag";

class UseFlag {
 public:
  explicit UseFlag(std::filesystem::path file) : file_(std::move(file)) {}
  ~UseFlag() { Leave(); }
  UseFlag(const UseFlag&) = delete;
  UseFlag& operator=(const UseFlag&) = delete;

  // Marks this instance as a user; false (logged) when the file cannot be
  // created or opened, which does not stop the start-up.
  bool Enter();
  // Ends the use; true when this was the last instance (the file is removed then).
  bool Leave();
  bool held() const { return fd_ >= 0; }
  // True when some instance holds the flag (or when that cannot be told).
  bool InUse() const;

  const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
  int fd_ = -1;
};

// The flag file of this machine: in the temporary directory.
std::filesystem::path DefaultUseFlagPath();

}  // namespace quillon
