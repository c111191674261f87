#include "app/record_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/parse_arg.h"
#include "app/run_commit.h"
#include "app/run_history.h"
#include "app/run_record.h"
#include "data/settings.h"
#include "platform/debug_channel.h"
#include "platform/files.h"

namespace quillon {
namespace {

// A file system without a free block takes the open but not the record.
std::optional<std::string> SpaceProblem(int fd) {
  struct statvfs space {};
  if (::fstatvfs(fd, &space) != 0) return std::nullopt;
  if (space.f_blocks != 0 && space.f_bavail == 0) return std::strerror(ENOSPC);
  return std::nullopt;
}

// Creates and removes a scratch file in `dir`.
std::optional<std::string> DirectoryProblem(const std::filesystem::path& dir) {
  const std::filesystem::path probe = dir / (".quillon-probe-" + std::to_string(::getpid()));
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return std::strerror(errno);
  auto problem = SpaceProblem(fd);
  ::close(fd);
  ::unlink(probe.c_str());
  return problem;
}

std::optional<std::string> FileProblem(const std::filesystem::path& file) {
  // Non-blocking: a FIFO in the record's place must refuse, not hang the run.
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) return std::strerror(errno);
    const std::filesystem::path dir = file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    return DirectoryProblem(dir);
  }
  struct stat info {};
  std::optional<std::string> problem;
  if (::fstat(fd, &info) != 0) {
    problem = std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    problem = "not a regular file";
  } else {
    problem = SpaceProblem(fd);
  }
  ::close(fd);
  return problem;
}

// Room the history's commit of one run takes: its rollback journal and the
// pages the run's row, its indexes and the outbox grow by.
std::optional<std::string> HistoryRoomProblem(const std::filesystem::path& db) {
  struct statvfs space {};
  const std::filesystem::path dir = db.parent_path().empty() ? std::filesystem::path(".") : db.parent_path();
  if (::statvfs(dir.c_str(), &space) != 0 || space.f_blocks == 0) return std::nullopt;
  const std::uint64_t free = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
  if (free >= kHistoryCommitRoom) return std::nullopt;
  return std::string(std::strerror(ENOSPC)) + " (" + std::to_string(free / 1024) + " KB free, a run needs " +
         std::to_string(kHistoryCommitRoom / 1024) + " KB for the history)";
}

}  // namespace

std::optional<UnwritableRecord> FirstUnwritableRecord(const RecordTargets& targets) {
  for (const auto& file : targets.files) {
    if (auto problem = FileProblem(file)) return UnwritableRecord{file, "cannot write " + file.string() + ": " + *problem};
  }
  for (const auto& dir : targets.directories) {
    if (auto problem = DirectoryProblem(dir)) {
      return UnwritableRecord{dir, "cannot write in " + dir.string() + ": " + *problem};
    }
  }
  for (const auto& db : targets.historyDatabases) {
    if (auto problem = HistoryProblem(db)) return UnwritableRecord{db, "cannot write " + db.string() + ": " + *problem};
    if (auto problem = HistoryRoomProblem(db)) return UnwritableRecord{db, "cannot write " + db.string() + ": " + *problem};
  }
  return std::nullopt;
}

RecordTargets KeptRecordTargets() {
  RecordTargets targets;
  if (Setting(key::kSaveResultToFile, 0) != 0) targets.files.push_back(ProgramDir() / kResultFileName);
  if (Setting(key::kLogType, 0) != 0) {
    std::error_code error;
    targets.files.push_back(std::filesystem::current_path(error) / kBurnLogFileName);
  }
  if (auto json = ResultJsonPath()) targets.files.push_back(*json);
  targets.historyDatabases.push_back(HistoryPath());
  return targets;
}

void EmptyLeftoverResultFile(const std::filesystem::path& file) {
  // A file that cannot be emptied refuses the run where it is kept.
  if (auto problem = EmptyResultFile(file)) DebugPrint("Empty %s failed: %s\n", file.c_str(), problem->c_str());
}

}  // namespace quillon
