// Files that every account of the station shares (the command lock, the use
// flag): created readable and writable by all, opened without creating when
// they exist, never followed through a symbolic link.
#pragma once

#include <filesystem>

namespace quillon {

// An open descriptor on `path`, or -1 with errno set. A missing file is
// created with mode 0666 whatever the umask; an existing one is opened as it
// is (read-only when this account may not write it: a lock needs no more).
// Symbolic links and anything but a regular file are refused (ELOOP, EINVAL).
int OpenSharedFile(const std::filesystem::path& path);

}  // namespace quillon
