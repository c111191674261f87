#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "platform/shared_file.h"

namespace quillon {

std::optional<InstalledDirs> InstalledLayout(const std::filesystem::path& executableDir) {
  std::filesystem::path dir = executableDir.lexically_normal();
  if (!dir.has_filename() && dir.has_relative_path()) dir = dir.parent_path();
  for (const char* bin : {"/usr/bin", "/bin", "/usr/local/bin"}) {
    if (dir == std::filesystem::path(bin)) return InstalledDirs{"/etc/quillon", "/var/lib/quillon"};
  }
  return std::nullopt;
}

namespace {

const char* HomeFromEnvironment() {
  const char* home = std::getenv("QUILLON_HOME");
  return home != nullptr && *home != '\0' ? home : nullptr;
}

}  // namespace

std::filesystem::path ExecutableDir() {
  std::error_code error;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::filesystem::current_path(error);
  return exe.parent_path();
}

std::filesystem::path ProgramDir() {
  if (const char* home = HomeFromEnvironment()) return home;
  const std::filesystem::path exeDir = ExecutableDir();
  if (auto installed = InstalledLayout(exeDir)) return installed->state;
  return exeDir;
}

std::filesystem::path ConfigDir() {
  if (const char* home = HomeFromEnvironment()) return home;
  const std::filesystem::path exeDir = ExecutableDir();
  if (auto installed = InstalledLayout(exeDir)) return installed->config;
  return exeDir;
}

bool MakeWritableIfReadOnly(const std::filesystem::path& path) {
  std::error_code error;
  auto status = std::filesystem::status(path, error);
  if (error || !std::filesystem::exists(status)) return false;
  using std::filesystem::perms;
  if ((status.permissions() & perms::owner_write) == perms::none) {
    std::filesystem::permissions(path, perms::owner_write, std::filesystem::perm_options::add, error);
    if (error) return false;
  }
  return ::access(path.c_str(), W_OK) == 0;
}

std::vector<std::string> ListFilesWithExtension(const std::filesystem::path& dir, std::string_view extension) {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    if (!it->is_regular_file(error)) continue;
    std::string name = it->path().filename().string();
    if (name.size() < extension.size()) continue;
    if (EqualsIgnoreCase(std::string_view(name).substr(name.size() - extension.size()), extension)) {
      names.push_back(std::move(name));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::filesystem::path& path) {
  // Plain descriptors, not streams: a directory, a FIFO or a device must give
  // "cannot be read", never an exception or a read that waits for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::optional<std::vector<std::uint8_t>> result;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0 &&
      static_cast<std::uint64_t>(info.st_size) <= kReadWholeFileLimit) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    bool failed = false;
    while (done < data.size()) {
      const ssize_t got = ::read(fd, data.data() + done, data.size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        failed = got < 0;
        break;
      }
      done += static_cast<std::size_t>(got);
    }
    if (!failed) {
      data.resize(done);  // the file shrank while we read it
      result = std::move(data);
    }
  }
  ::close(fd);
  return result;
}

namespace {

std::string WriteAndSync(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  // Renamed over the kept file: it takes the mode the station's files have.
  const int fd = OpenStationFile(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY);
  if (fd < 0) return std::strerror(errno);
  std::string problem;
  std::size_t done = 0;
  while (problem.empty() && done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      problem = n < 0 ? std::strerror(errno) : "nothing written";
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  if (problem.empty() && ::fsync(fd) != 0) problem = std::strerror(errno);
  if (::close(fd) != 0 && problem.empty()) problem = std::strerror(errno);
  return problem;
}

bool ReadsBack(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  const auto read = ReadWholeFile(path);
  return read && std::equal(read->begin(), read->end(), bytes.begin(), bytes.end());
}

}  // namespace

std::string WriteFileDurably(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::filesystem::path temporary = path;
  temporary += ".new";
  std::string problem = WriteAndSync(temporary, bytes);
  if (problem.empty() && !ReadsBack(temporary, bytes)) problem = "read back differs";
  if (problem.empty() && ::rename(temporary.c_str(), path.c_str()) != 0) problem = std::strerror(errno);
  if (!problem.empty()) {
    ::unlink(temporary.c_str());
    return problem;
  }
  // The rename itself is on the disk only once the directory is.
  if (const int dir = ::open(path.parent_path().empty() ? "." : path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      dir >= 0) {
    if (::fsync(dir) != 0) problem = std::strerror(errno);
    ::close(dir);
  }
  if (problem.empty() && !ReadsBack(path, bytes)) problem = "read back differs";
  return problem;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string ToUpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string ToLowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace quillon
