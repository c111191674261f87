// Whether another process holds a lock file, to wait for a run to be under way.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>

namespace quillon::testing {

// True once another process holds the lock file (it exists and cannot be taken).
inline bool HeldElsewhere(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

}  // namespace quillon::testing
