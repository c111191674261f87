// Reading a configuration area: the header with its two leading special
// records, then the records one by one. Every read stays inside the bytes the
// reader was given (at most 0x20000); a record that would run past them is not
// read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "data/config_descriptor.h"
#include "data/config_record.h"

namespace quillon {

// Most bytes of an image a reader looks at, from the start of the area.
inline constexpr std::size_t kConfigCopyLimit = 0x20000;

class CDescGlobal {
 public:
  // The area starts at `bytes[0]`; the reader keeps a view of at most
  // kConfigCopyLimit bytes (the caller keeps the bytes alive) and starts over.
  void SetCopy(std::span<const std::uint8_t> bytes);

  // The header (null when no copy is set or it holds fewer than 6 bytes). The
  // leading version and EEPROM-info records are consumed on the first call;
  // every call gives the same record number: the header's minus those found.
  const ConfigHeader* ParseHeader();
  // The next record as an object, or null when the cursor is at the end of the
  // copy or of the header's total length, or the record does not fit.
  std::unique_ptr<CDescriptor> NextDescriptor();
  // Steps over the record at the cursor when it fits.
  bool SkipRecord();

  int RecordNumber() const { return recordNumber_; }
  std::size_t Cursor() const { return cursor_; }
  std::size_t CopiedBytes() const { return copy_.size(); }
  std::span<const std::uint8_t> Copy() const { return copy_; }
  bool HasVersionRecord() const { return versionConsumed_; }
  std::uint16_t VersionWord() const { return versionWord_; }
  std::optional<std::uint8_t> EepromInfo() const { return eepromInfo_; }

 private:
  // The record header at the cursor when the whole record lies in the copy.
  std::optional<RecordHeader> RecordAtCursor() const;
  bool ConsumeSpecial(std::uint8_t length, std::uint8_t type);

  bool hasCopy_ = false;
  std::span<const std::uint8_t> copy_;
  ConfigHeader header_;
  int recordNumber_ = 0;
  std::size_t cursor_ = kConfigHeaderSize;
  bool versionConsumed_ = false;
  std::uint16_t versionWord_ = 0;
  std::optional<std::uint8_t> eepromInfo_;
};

enum class WalkResult {
  Done,       // every record read, or the records due were found
  Corrupted,  // records still due and the next one cannot be stepped over
  NoHeader,   // fewer than 6 bytes
  Stopped,    // the visitor asked to stop
};

// Reads the header and then every record, handing each to `visit` (which
// returns false to stop). `reader` must have its copy set.
WalkResult WalkConfigArea(CDescGlobal& reader, const std::function<bool(CDescriptor&)>& visit);

// The text readers and the rewrite log and show for a corrupted area.
inline constexpr const char* kConfigCorruptedText = "Config file corrupted";

}  // namespace quillon
