#include "platform/shared_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quillon {
namespace {

constexpr int kOpenFlags = O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Opens an existing file without O_CREAT: in a sticky directory such as /tmp,
// O_CREAT on another account's file is refused even when the file itself
// would be accessible.
int OpenExisting(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDWR | kOpenFlags);
  if (fd < 0 && (errno == EACCES || errno == EPERM)) fd = ::open(path.c_str(), O_RDONLY | kOpenFlags);
  return fd;
}

}  // namespace

int OpenSharedFile(const std::filesystem::path& path) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    int fd = OpenExisting(path);
    if (fd < 0 && errno == ENOENT) {
      fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | kOpenFlags, 0666);
      if (fd < 0 && errno == EEXIST) continue;  // another process created it first
      // The umask must not keep other accounts out.
      if (fd >= 0 && ::fchmod(fd, 0666) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
      }
    }
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      ::close(fd);
      errno = EINVAL;
      return -1;
    }
    // Back to blocking mode: O_NONBLOCK only kept a FIFO from stalling the open.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
  }
  errno = EEXIST;
  return -1;
}

int OpenStationFile(const std::filesystem::path& path, int flags) {
  flags |= O_CLOEXEC;
  if ((flags & O_CREAT) == 0) return ::open(path.c_str(), flags);
  const int existing = ::open(path.c_str(), flags & ~(O_CREAT | O_EXCL));
  if (existing >= 0 || errno != ENOENT) return existing;
  struct stat dir {};
  const std::filesystem::path parent = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
  const bool groupShares = ::stat(parent.c_str(), &dir) == 0 && (dir.st_mode & S_IWGRP) != 0;
  const mode_t mode = groupShares ? 0664 : 0644;
  const int fd = ::open(path.c_str(), flags | O_EXCL, mode);
  if (fd < 0) {
    // Another process created it first: open it as it is.
    return errno == EEXIST && (flags & O_EXCL) == 0 ? ::open(path.c_str(), flags & ~O_CREAT) : -1;
  }
  if (groupShares) ::fchmod(fd, mode);
  return fd;
}

namespace {

// The descriptor's exclusive flock, given up when the scope ends.
class FlockScope {
 public:
  explicit FlockScope(int fd) : fd_(fd) {
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FlockScope() { ::flock(fd_, LOCK_UN); }
  FlockScope(const FlockScope&) = delete;
  FlockScope& operator=(const FlockScope&) = delete;

 private:
  int fd_;
};

}  // namespace

std::optional<AppendedLine> AppendWhole(const std::filesystem::path& file, const std::string& line,
                                        const std::string& header) {
  const int fd = OpenStationFile(file, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<AppendedLine> appended;
  int error = 0;
  {
    FlockScope lock(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
      error = errno;
    } else if (!S_ISREG(info.st_mode)) {
      error = EINVAL;
    } else {
      const std::string text = info.st_size == 0 ? header + line : line;
      std::size_t done = 0;
      while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
          error = wrote < 0 ? errno : ENOSPC;
          break;
        }
        done += static_cast<std::size_t>(wrote);
      }
      if (error == 0) {
        appended = AppendedLine{file, info.st_size, text.size()};
      } else if (done > 0 && ::ftruncate(fd, info.st_size) != 0) {
        // Nothing more can be done; the caller reports the failed append.
      }
    }
  }
  if (::close(fd) != 0 && appended) {
    error = errno;
    appended.reset();
  }
  if (!appended) errno = error;
  return appended;
}

bool RetractLine(const AppendedLine& line) {
  const int fd = ::open(line.file.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool retracted = false;
  {
    FlockScope lock(fd);
    struct stat info {};
    // Only our own line, still the last: never another process's.
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size == line.offset + static_cast<off_t>(line.size)) {
      retracted = ::ftruncate(fd, line.offset) == 0;
    }
  }
  ::close(fd);
  return retracted;
}

}  // namespace quillon
