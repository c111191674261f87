// Files that every account of the station shares (the command lock, the use
// flag): created readable and writable by all, opened without creating when
// they exist, never followed through a symbolic link.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace quillon {

// An open descriptor on `path`, or -1 with errno set. A missing file is
// created with mode 0666 whatever the umask; an existing one is opened as it
// is (read-only when this account may not write it: a lock needs no more).
// Symbolic links and anything but a regular file are refused (ELOOP, EINVAL).
int OpenSharedFile(const std::filesystem::path& path);

// Opens a file the station keeps (a result file, a record, a log) with
// `flags` (O_CLOEXEC is added). When it is created in a directory its group
// may write in (such as /var/lib/quillon), it is made writable for that group
// whatever the umask, so the next operator's account can write it too; else
// it is created 0644. -1 with errno set on failure.
int OpenStationFile(const std::filesystem::path& path, int flags);

// A line appended by this process, so that it can be taken back.
struct AppendedLine {
  std::filesystem::path file;
  off_t offset = 0;
  std::size_t size = 0;
};

// Appends `line` (after `header` when the file is empty) whole or not at all:
// under an exclusive flock, so appenders of several processes never mix, and
// a short write (a full disk, a file-size limit) is cut back to the old size.
// Nothing (errno set) when it was not appended.
std::optional<AppendedLine> AppendWhole(const std::filesystem::path& file, const std::string& line,
                                        const std::string& header = "");

// Takes the line back when it is still the file's last; false otherwise.
bool RetractLine(const AppendedLine& line);

}  // namespace quillon
