#include "proxy/use_flag.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/debug_channel.h"
#include "platform/shared_file.h"

namespace quillon {

bool UseFlag::Enter() {
  if (fd_ >= 0) return true;
  DebugPrint("Create/Open %s path=%s\n", kUseFlagFileName, file_.c_str());
  for (int attempt = 0; attempt < 10; ++attempt) {
    int fd = OpenSharedFile(file_);
    if (fd < 0) {
      DebugPrint("Failed to create %s file 0x%08X\n", kUseFlagFileName, static_cast<unsigned>(errno));
      return false;
    }
    if (::flock(fd, LOCK_SH) != 0) {
      DebugPrint("Failed to open existing %s file 0x%08X\n", kUseFlagFileName, static_cast<unsigned>(errno));
      ::close(fd);
      return false;
    }
    // The last instance may have removed the file between our open and our
    // lock; a lock on a removed file tells nobody anything, so start again.
    struct stat held {}, named {};
    if (::fstat(fd, &held) == 0 && ::stat(file_.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
        held.st_dev == named.st_dev) {
      fd_ = fd;
      return true;
    }
    ::close(fd);
  }
  DebugPrint("Failed to create %s file 0x%08X\n", kUseFlagFileName, static_cast<unsigned>(EAGAIN));
  return false;
}

bool UseFlag::Leave() {
  if (fd_ < 0) return false;
  DebugPrint("Close %s path=%s\n", kUseFlagFileName, file_.c_str());
  // Upgrading to an exclusive lock succeeds only when no other instance holds the file.
  bool last = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
  if (last) {
    ::unlink(file_.c_str());
    DebugPrint("Uninstall VxtUpx driver\n");
  }
  ::close(fd_);
  fd_ = -1;
  return last;
}

bool UseFlag::InUse() const {
  int fd = ::open(file_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return false;
    DebugPrint("Cannot tell if %s exists %d\n", kUseFlagFileName, errno);
    return true;
  }
  bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return !free;
}

std::filesystem::path DefaultUseFlagPath() {
  std::error_code error;
  std::filesystem::path dir = std::filesystem::temp_directory_path(error);
  if (error) dir = "/tmp";
  return dir / kUseFlagFileName;
}

}  // namespace quillon
