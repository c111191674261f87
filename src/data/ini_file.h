// The INI document and the one parser for every INI text of the system
// (settings, IC profiles). Names and values are kept exactly as read; section
// and key names are compared without regard to case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/trace.h"

namespace quillon {

// Longest line or value a text conversion carries; longer ones are cut.
inline constexpr std::size_t kIniMaxLine = 259;

class CIniFile : public CDumpStr {
 public:
  struct SectionBody {
    std::vector<std::string> keys;
    std::vector<std::string> values;
    std::vector<std::string> comments;
    // Per key, the line of the text that last set it (1 is the first line);
    // 0 for a key set by the program.
    std::vector<int> lines;
  };

  CIniFile() = default;
  virtual ~CIniFile() = default;

  // Reads the file at the stored path and parses it; true when at least one
  // section exists afterwards.
  bool LoadFile();
  void SetPath(std::string path) { path_ = std::move(path); }
  const std::string& Path() const { return path_; }
  // Parses a whole text held in memory (same line rules as LoadFile).
  bool LoadText(std::string_view text);

  int FindSection(std::string_view name) const;
  int FindKey(int sectionIndex, std::string_view key) const;
  int AddSection(std::string_view name);
  bool SetValue(bool create, std::string_view section, std::string_view key, std::string_view value);

  std::string GetString(std::string_view section, std::string_view key, std::string_view def) const;
  std::string GetString(int sectionIndex, std::string_view key, std::string_view def) const;
  // Unsigned conversion in base 0 (decimal, 0x hexadecimal, leading-zero octal).
  std::uint32_t GetInt(std::string_view section, std::string_view key, int def) const;
  std::uint32_t GetInt(int sectionIndex, std::string_view key, int def) const;

  void AddHeaderComment(std::string_view text);
  bool AddSectionComment(int sectionIndex, std::string_view text);
  bool AddSectionComment(std::string_view sectionName, std::string_view text);

  // Empties the document (sections, bodies, header comments); keeps the path.
  void Clear();

  const std::vector<std::string>& SectionNames() const { return names_; }
  const std::vector<SectionBody>& SectionBodies() const { return bodies_; }
  const std::vector<std::string>& HeaderComments() const { return headerComments_; }

 private:
  enum class LineResult { Ok, Stop };
  LineResult ParseLine(std::string line, std::string& currentSection);
  std::string Fold(std::string_view name) const;

  bool allowDuplicates_ = false;
  bool caseFolding_ = true;
  int lineNumber_ = 0;  // the line being parsed; 0 outside a parse
  std::string path_;
  std::vector<SectionBody> bodies_;
  std::vector<std::string> names_;
  std::vector<std::string> headerComments_;
};

// The C library's unsigned conversion in base 0, cut to 32 bits: what GetInt
// makes of a value text.
std::uint32_t ParseIniInt(std::string_view text);

}  // namespace quillon
