#include "data/config_reader.h"

#include <algorithm>

#include "data/le_bytes.h"
#include "platform/trace.h"

namespace quillon {
namespace {
constexpr TraceScope kReaderScope{"CDescGlobal::NextDescriptor", 0, kTraceDevice};
}  // namespace

void CDescGlobal::SetCopy(std::span<const std::uint8_t> bytes) {
  *this = CDescGlobal();
  copy_ = bytes.first(std::min(bytes.size(), kConfigCopyLimit));
  hasCopy_ = true;
}

std::optional<RecordHeader> CDescGlobal::RecordAtCursor() const {
  if (cursor_ >= copy_.size()) return std::nullopt;
  auto header = UnpackRecordHeader(copy_.subspan(cursor_), header_.chipCode);
  if (!header) return std::nullopt;
  // A record shorter than its own header would leave the cursor in place (or
  // inside the header); such an area is corrupted, not endless.
  const std::size_t minimum = header->form == RecordForm::Normal ? 1 : header->HeaderSize();
  if (header->length < minimum) return std::nullopt;
  if (header->length > copy_.size() - cursor_) return std::nullopt;
  return header;
}

bool CDescGlobal::ConsumeSpecial(std::uint8_t length, std::uint8_t type) {
  if (cursor_ > copy_.size() || copy_.size() - cursor_ < length) return false;
  return copy_[cursor_] == length && copy_[cursor_ + 1] == type;
}

const ConfigHeader* CDescGlobal::ParseHeader() {
  if (!hasCopy_) return nullptr;
  auto header = UnpackConfigHeader(copy_);
  if (!header) return nullptr;
  header_ = *header;
  recordNumber_ = header_.recordNumber;
  if (versionConsumed_) {
    --recordNumber_;
  } else if (ConsumeSpecial(kVersionRecordLength, record_type::kVersion)) {
    versionWord_ = ReadU16Le(copy_, cursor_ + 4);
    cursor_ += kVersionRecordLength;
    versionConsumed_ = true;
    --recordNumber_;
  }
  if (eepromInfo_) {
    --recordNumber_;
  } else if (ConsumeSpecial(kEepromInfoRecordLength, record_type::kEepromInfo)) {
    eepromInfo_ = copy_[cursor_ + 2];
    cursor_ += kEepromInfoRecordLength;
    --recordNumber_;
  }
  return &header_;
}

std::unique_ptr<CDescriptor> CDescGlobal::NextDescriptor() {
  if (!hasCopy_ || cursor_ >= copy_.size() || cursor_ >= header_.totalLength) return nullptr;
  auto header = RecordAtCursor();
  if (!header) return nullptr;
  auto record = copy_.subspan(cursor_, header->length);
  std::unique_ptr<CDescriptor> object = CreateDescriptor(header->type, header_.chipCode);
  if (!object->Parse(*header, record)) {
    // Its class cannot hold these bytes exactly; keep them as they are.
    object = std::make_unique<CDescDummy>(header->type);
    object->Parse(*header, record);
  }
  if (auto* codeInfo = dynamic_cast<CDescCodeInfo*>(object.get()); codeInfo != nullptr && !codeInfo->HasCode()) {
    // Code named outside the copy stays unset: the record then cannot be
    // written back, so a rewrite fails instead of naming missing code.
    const std::size_t begin = codeInfo->codeOffset;
    const std::size_t length = codeInfo->codeLength;
    if (begin <= copy_.size() && length <= copy_.size() - begin) codeInfo->SetCode(copy_.subspan(begin, length));
  }
  Trace(kReaderScope, "Find descriptor 0x%02X\n", header->type);
  cursor_ += header->length;
  return object;
}

bool CDescGlobal::SkipRecord() {
  if (!hasCopy_) return false;
  auto header = RecordAtCursor();
  if (!header) return false;
  cursor_ += header->length;
  return true;
}

WalkResult WalkConfigArea(CDescGlobal& reader, const std::function<bool(CDescriptor&)>& visit) {
  reader.ParseHeader();
  if (reader.ParseHeader() == nullptr) return WalkResult::NoHeader;
  int due = reader.RecordNumber();
  for (;;) {
    if (auto record = reader.NextDescriptor()) {
      if (visit && !visit(*record)) return WalkResult::Stopped;
      --due;
      continue;
    }
    if (due < 1) return WalkResult::Done;
    if (!reader.SkipRecord()) return WalkResult::Corrupted;
  }
}

}  // namespace quillon
