#include "platform/files.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <system_error>

namespace quillon {

std::filesystem::path ProgramDir() {
  if (const char* home = std::getenv("QUILLON_HOME"); home != nullptr && *home != '\0') return home;
  std::error_code error;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::filesystem::current_path(error);
  return exe.parent_path();
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
  // A directory opens for reading on this host and fails only at the first
  // read, which the stream library reports by throwing.
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return std::nullopt;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!in) return std::nullopt;
  std::vector<std::uint8_t> data;
  std::uint8_t chunk[65536];
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, in.get());
    data.insert(data.end(), chunk, chunk + got);
    if (got < sizeof chunk) break;
  }
  if (std::ferror(in.get()) != 0) return std::nullopt;
  return data;
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
