// The lines a station leaves: JSON run records and "burn_result.txt".
#pragma once

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace quillon::testing {

// One JSON object per line of `file` (none when it does not exist).
inline std::vector<nlohmann::json> JsonLines(const std::filesystem::path& file) {
  std::vector<nlohmann::json> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line));
  return out;
}

// The lines of `file` as stored, a CR of a CR LF end kept.
inline std::vector<std::string> RawLines(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace quillon::testing
