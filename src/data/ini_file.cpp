#include "data/ini_file.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "platform/debug_channel.h"
#include "platform/files.h"

namespace quillon {
namespace {

bool IsPrintable(char c) { return c >= 0x20 && c <= 0x7E; }

}  // namespace

std::uint32_t ParseIniInt(std::string_view text) {
  std::string copy(text);
  return static_cast<std::uint32_t>(std::strtoul(copy.c_str(), nullptr, 0));
}

std::string CIniFile::Fold(std::string_view name) const {
  return caseFolding_ ? ToLowerAscii(name) : std::string(name);
}

void CIniFile::Clear() {
  bodies_.clear();
  names_.clear();
  headerComments_.clear();
}

bool CIniFile::LoadFile() {
  std::ifstream in(path_);
  if (!in) return false;
  std::string currentSection;
  std::string line;
  lineNumber_ = 0;
  LineResult result = LineResult::Ok;
  while (result == LineResult::Ok && std::getline(in, line)) {
    ++lineNumber_;
    result = ParseLine(std::move(line), currentSection);
  }
  lineNumber_ = 0;
  return result == LineResult::Ok && !names_.empty();
}

bool CIniFile::LoadText(std::string_view text) {
  std::string currentSection;
  std::size_t start = 0;
  lineNumber_ = 0;
  LineResult result = LineResult::Ok;
  while (result == LineResult::Ok && start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view piece = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber_;
    if (piece.empty()) continue;
    result = ParseLine(std::string(piece.substr(0, kIniMaxLine)), currentSection);
  }
  lineNumber_ = 0;
  return result == LineResult::Ok && !names_.empty();
}

CIniFile::LineResult CIniFile::ParseLine(std::string line, std::string& currentSection) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) return LineResult::Ok;
  if (!IsPrintable(line.front())) {
    DebugPrint("Failing on char %d\n", static_cast<int>(static_cast<unsigned char>(line.front())));
    return LineResult::Stop;
  }
  std::size_t at = line.find_first_of(";#[=");
  if (at == std::string::npos) {
    SetValue(true, currentSection, line, "");
    return LineResult::Ok;
  }
  switch (line[at]) {
    case ';':
    case '#': {
      std::string comment = line.substr(at + 1);
      if (!names_.empty()) {
        AddSectionComment(std::string_view(currentSection), comment);
      } else {
        AddHeaderComment(comment);
      }
      break;
    }
    case '=':
      SetValue(true, currentSection, std::string_view(line).substr(0, at), std::string_view(line).substr(at + 1));
      break;
    case '[': {
      std::size_t close = line.rfind(']');
      if (close == std::string::npos || close < at) break;
      currentSection = line.substr(at + 1, close - at - 1);
      AddSection(currentSection);
      break;
    }
  }
  return LineResult::Ok;
}

int CIniFile::FindSection(std::string_view name) const {
  std::string folded = Fold(name);
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (Fold(names_[i]) == folded) return static_cast<int>(i);
  }
  return -1;
}

int CIniFile::FindKey(int sectionIndex, std::string_view key) const {
  if (sectionIndex < 0 || static_cast<std::size_t>(sectionIndex) >= bodies_.size()) return -1;
  const SectionBody& body = bodies_[static_cast<std::size_t>(sectionIndex)];
  std::string folded = Fold(key);
  for (std::size_t i = 0; i < body.keys.size(); ++i) {
    if (Fold(body.keys[i]) == folded) return static_cast<int>(i);
  }
  return -1;
}

int CIniFile::AddSection(std::string_view name) {
  names_.emplace_back(name);
  bodies_.emplace_back();
  return static_cast<int>(names_.size() - 1);
}

bool CIniFile::SetValue(bool create, std::string_view section, std::string_view key, std::string_view value) {
  int s = FindSection(section);
  if (s < 0) {
    if (!create) return false;
    s = AddSection(section);
  }
  SectionBody& body = bodies_[static_cast<std::size_t>(s)];
  int k = FindKey(s, key);
  if (k < 0) {
    if (!create) return false;
    body.keys.emplace_back(key);
    body.values.emplace_back(value);
    body.lines.push_back(lineNumber_);
  } else if (allowDuplicates_) {
    body.keys.emplace_back(key);
    body.values.emplace_back(value);
    body.lines.push_back(lineNumber_);
  } else {
    body.values[static_cast<std::size_t>(k)] = std::string(value);
    if (lineNumber_ != 0) body.lines[static_cast<std::size_t>(k)] = lineNumber_;
  }
  return true;
}

std::string CIniFile::GetString(std::string_view section, std::string_view key, std::string_view def) const {
  return GetString(FindSection(section), key, def);
}

std::string CIniFile::GetString(int sectionIndex, std::string_view key, std::string_view def) const {
  int k = FindKey(sectionIndex, key);
  if (k < 0) return std::string(def);
  return bodies_[static_cast<std::size_t>(sectionIndex)].values[static_cast<std::size_t>(k)];
}

std::uint32_t CIniFile::GetInt(std::string_view section, std::string_view key, int def) const {
  return GetInt(FindSection(section), key, def);
}

std::uint32_t CIniFile::GetInt(int sectionIndex, std::string_view key, int def) const {
  char defText[16];
  std::snprintf(defText, sizeof defText, "%d", def);
  return ParseIniInt(GetString(sectionIndex, key, defText));
}

void CIniFile::AddHeaderComment(std::string_view text) { headerComments_.emplace_back(text); }

bool CIniFile::AddSectionComment(int sectionIndex, std::string_view text) {
  if (sectionIndex < 0 || static_cast<std::size_t>(sectionIndex) >= bodies_.size()) return false;
  bodies_[static_cast<std::size_t>(sectionIndex)].comments.emplace_back(text);
  return true;
}

bool CIniFile::AddSectionComment(std::string_view sectionName, std::string_view text) {
  return AddSectionComment(FindSection(sectionName), text);
}

}  // namespace quillon
