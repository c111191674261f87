#include "platform/shared_file.h"

#include <fcntl.h>
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

}  // namespace quillon
