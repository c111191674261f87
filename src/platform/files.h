// File services of the host: the program directory and the few file operations
// the system needs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// The directories of a program installed in a system bin directory: it must
// never write beside its binary, so it reads its configuration from one place
// and keeps results and state in another.
struct InstalledDirs {
  std::filesystem::path config;  // settings, IC profiles, accepted list, images
  std::filesystem::path state;   // result files, debug log, preserved records

  bool operator==(const InstalledDirs&) const = default;
};
// For an executable in /usr/bin, /bin or /usr/local/bin: /etc/quillon and
// /var/lib/quillon; nothing for any other directory (a build tree, an unpacked
// package, a station directory).
std::optional<InstalledDirs> InstalledLayout(const std::filesystem::path& executableDir);

// The directory of the running executable (the current directory when the
// system cannot say).
std::filesystem::path ExecutableDir();

// Where the program writes its files: $QUILLON_HOME when set; else, when
// installed, the state directory; else the directory of the running executable.
std::filesystem::path ProgramDir();
// Where the program reads its configuration files: $QUILLON_HOME when set;
// else, when installed, the configuration directory; else the executable's.
std::filesystem::path ConfigDir();

// Clears a read-only state of an existing file (gives its owner write access);
// a missing file is not created. Returns true when the file is writable after.
bool MakeWritableIfReadOnly(const std::filesystem::path& path);

// The regular files of `dir` whose names end in `extension` (".ini", ".rfw"),
// compared without regard to case, in name order so that runs repeat.
std::vector<std::string> ListFilesWithExtension(const std::filesystem::path& dir, std::string_view extension);

// Larger files are no image, settings text or state of ours.
inline constexpr std::uint64_t kReadWholeFileLimit = 64u << 20;

// The whole regular file, or nothing when it cannot be read: missing,
// unreadable, a directory, a FIFO or a device, or over kReadWholeFileLimit.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::filesystem::path& path);

// Writes `bytes` to `path` so that a later power cut finds either the old file
// or the new one, never a part: a temporary file next to it (`path` + ".new")
// is written, flushed to the disk, read back and compared, then renamed over
// `path`, which is read back and compared once more. Returns "" on success,
// else the reason ("No space left on device", "read back differs"); a failure
// before the rename leaves `path` as it was.
std::string WriteFileDurably(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

bool EqualsIgnoreCase(std::string_view a, std::string_view b);
std::string ToUpperAscii(std::string_view text);
std::string ToLowerAscii(std::string_view text);

}  // namespace quillon
