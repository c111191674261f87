#include "flow/preserved_record.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <system_error>

#include "flow/flash_image_parts.h"
#include "flow/status.h"
#include "platform/debug_channel.h"
#include "platform/files.h"
#include "platform/prompt.h"

namespace quillon {
namespace {

constexpr std::string_view kCopyPrefix = "PreservedRecord_";
constexpr std::string_view kCopyExtension = ".bin";
constexpr std::string_view kUnitExtension = ".unit";
constexpr std::string_view kCaption = "Preserved record";

// The chip's area holds code when its header is there: the type byte 0x55, or
// 0x00 where the ROM entry of the special variants spoiled it, and the signature.
bool AreaHoldsCode(std::span<const std::uint8_t> area) {
  return area.size() >= 2 && (area[0] == 0x55 || area[0] == 0x00) && area[1] == 0xA5;
}

std::string FileName(const PendingRecordCopy& copy) { return copy.file.filename().string(); }

std::filesystem::path UnitFileOf(const std::filesystem::path& copy) {
  std::filesystem::path unit = copy;
  unit.replace_extension(kUnitExtension);
  return unit;
}

// key=value lines, CR LF.
std::string UnitFileText(const UnitIdentity& unit, const std::string& run) {
  return "location=" + unit.location + "\r\nidentity=" + unit.idText + "\r\nusb serial=" + unit.usbSerial +
         "\r\nflash id=" + unit.flashId + "\r\nrun=" + run + "\r\n";
}

void ReadUnitFile(const std::filesystem::path& path, PendingRecordCopy& copy) {
  const auto bytes = ReadWholeFile(path);
  if (!bytes) return;
  const std::string text(bytes->begin(), bytes->end());
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    if (key == "location") copy.unit.location = value;
    if (key == "identity") copy.unit.idText = value;
    if (key == "usb serial") copy.unit.usbSerial = value;
    if (key == "flash id") copy.unit.flashId = value;
    if (key == "run") copy.run = value;
  }
  if (!copy.unit.location.empty()) copy.location = copy.unit.location;
}

std::string UnitText(const UnitIdentity& unit) {
  std::string text = unit.idText.empty() ? std::string("unit") : unit.idText;
  if (!unit.usbSerial.empty()) text += " serial " + unit.usbSerial;
  if (!unit.flashId.empty()) text += " flash " + unit.flashId;
  return text + " at " + unit.location;
}

std::string RunText(const std::string& imageName) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return std::string(when) + " writing " + imageName;
}

std::string HowToDecide(const PendingRecordCopy& copy) {
  return "to write it into this unit: quillon -f -write IMAGE --restore-record " + copy.location +
         "; to set it aside: quillon -f -write IMAGE --set-aside-record " + copy.location;
}

// The window asks, copy by copy; the batch mode's prompt answers No, which
// leaves every copy pending.
RecordCopyInstruction AskOperator(const UnitIdentity& unit, std::span<const PendingRecordCopy> pending) {
  RecordCopyInstruction instruction;
  for (const PendingRecordCopy& copy : pending) {
    const std::string head = "This unit (" + UnitText(unit) + ") holds no preserved record, and a copy is pending: " +
                             DescribeCopy(copy) + ".\n";
    if (copy.payload &&
        ThePrompt().Ask(head + "Write this copy into this unit?", kCaption, Answer::No) == Answer::Yes) {
      instruction.restore = copy.location;
      return instruction;
    }
    if (ThePrompt().Ask(head + "Set the copy aside (it is kept under another name) and go on without it?", kCaption,
                        Answer::No) != Answer::Yes) {
      return instruction;
    }
    instruction.setAside.push_back(copy.location);
  }
  return instruction;
}

std::uint32_t Refuse(const std::string& line, std::uint32_t status) {
  ThePrompt().Show(line, kCaption);
  DebugPrint("%s\n", line.c_str());
  return status;
}

RecordCopyInstruction& Instruction() {
  static RecordCopyInstruction instruction;
  return instruction;
}

}  // namespace

RecordDecision DecideRecord(const std::optional<std::vector<std::uint8_t>>& chipRecord, const UnitIdentity& unit,
                            std::span<const PendingRecordCopy> pending, const RecordCopyInstruction& instruction) {
  RecordDecision decision;
  const auto refuse = [](std::string why) {
    RecordDecision refused;
    refused.why = std::move(why);
    return refused;
  };
  const auto find = [&](const std::string& location) -> std::optional<std::size_t> {
    for (std::size_t i = 0; i < pending.size(); ++i) {
      if (pending[i].location == location) return i;
    }
    return std::nullopt;
  };
  std::vector<bool> aside(pending.size(), false);
  for (const std::string& location : instruction.setAside) {
    const auto i = find(location);
    if (!i) return refuse("no preserved record copy is pending for " + location + " to set aside");
    aside[*i] = true;
    decision.setAside.push_back(*i);
  }

  if (chipRecord) {
    // Naming the copy of the very bytes the chip holds agrees with the chip.
    if (instruction.restore) {
      const auto i = find(*instruction.restore);
      if (!i || aside[*i] || pending[*i].payload != chipRecord) {
        return refuse("this unit holds its own preserved record: the copy taken at " + *instruction.restore +
                      " is not written into it");
      }
    }
    for (std::size_t i = 0; i < pending.size(); ++i) {
      if (aside[i]) continue;
      // The record is the unit's own data: a copy of the same bytes is this unit's.
      if (pending[i].payload == chipRecord) {
        decision.superseded.push_back(i);
      } else if (pending[i].location == unit.location) {
        return refuse(FileName(pending[i]) + " holds another unit's record and is pending for this port; " +
                      HowToDecide(pending[i]) + " (on its own unit)");
      }
    }
    decision.plan = RecordPlan::kCarryFromChip;
    return decision;
  }

  if (instruction.restore) {
    const auto i = find(*instruction.restore);
    if (!i || aside[*i]) return refuse("no preserved record copy is pending for " + *instruction.restore);
    const PendingRecordCopy& copy = pending[*i];
    if (!copy.payload) return refuse(FileName(copy) + " is empty or damaged and cannot be restored; set it aside");
    if (!copy.unit.flashId.empty() && !unit.flashId.empty() && copy.unit.flashId != unit.flashId) {
      return refuse(FileName(copy) + " was taken from a unit whose flash reads " + copy.unit.flashId +
                    "; this unit's flash reads " + unit.flashId);
    }
    decision.plan = RecordPlan::kRestoreCopy;
    decision.copy = *i;
    return decision;
  }
  const bool left = std::find(aside.begin(), aside.end(), false) != aside.end();
  decision.plan = left ? RecordPlan::kAskOperator : RecordPlan::kWithoutRecord;
  return decision;
}

void SetRecordCopyInstruction(RecordCopyInstruction instruction) { Instruction() = std::move(instruction); }
const RecordCopyInstruction& TheRecordCopyInstruction() { return Instruction(); }

std::filesystem::path PreservedRecordStore::CopyPath(const std::string& location) const {
  std::string name(kCopyPrefix);
  for (char c : location) name += std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' ? c : '_';
  return dir_ / (name + std::string(kCopyExtension));
}

std::vector<PendingRecordCopy> PreservedRecordStore::Pending() const {
  std::vector<PendingRecordCopy> pending;
  for (const std::string& name : ListFilesWithExtension(dir_, kCopyExtension)) {
    if (name.rfind(kCopyPrefix, 0) != 0) continue;
    PendingRecordCopy copy;
    copy.file = dir_ / name;
    copy.location = name.substr(kCopyPrefix.size(), name.size() - kCopyPrefix.size() - kCopyExtension.size());
    auto bytes = ReadWholeFile(copy.file);
    if (bytes && !bytes->empty() && bytes->size() <= kPreservedPayloadMax) copy.payload = std::move(bytes);
    ReadUnitFile(UnitFileOf(copy.file), copy);
    pending.push_back(std::move(copy));
  }
  return pending;
}

std::string PreservedRecordStore::Keep(std::span<const std::uint8_t> payload, const UnitIdentity& unit,
                                       const std::string& run) const {
  const std::filesystem::path copy = CopyPath(unit.location);
  if (std::string problem = WriteFileDurably(copy, payload); !problem.empty()) {
    return "cannot keep the preserved record in " + copy.string() + ": " + problem;
  }
  const std::string text = UnitFileText(unit, run);
  const std::filesystem::path unitFile = UnitFileOf(copy);
  std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  if (std::string problem = WriteFileDurably(unitFile, bytes); !problem.empty()) {
    return "cannot keep the unit of the preserved record in " + unitFile.string() + ": " + problem;
  }
  return "";
}

std::string PreservedRecordStore::SetAside(const PendingRecordCopy& copy) const {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[24];
  std::strftime(stamp, sizeof stamp, ".aside-%Y%m%dT%H%M%S", &utc);
  std::error_code error;
  for (const std::filesystem::path& from : {copy.file, UnitFileOf(copy.file)}) {
    if (!std::filesystem::exists(from, error)) continue;
    std::filesystem::path to = from;
    to += stamp;
    std::filesystem::rename(from, to, error);
    if (error) return "cannot set " + from.string() + " aside: " + error.message();
    DebugPrint("Preserved record copy set aside as %s\n", to.string().c_str());
  }
  return "";
}

void PreservedRecordStore::Remove(const PendingRecordCopy& copy) const {
  std::error_code ignored;
  std::filesystem::remove(copy.file, ignored);
  std::filesystem::remove(UnitFileOf(copy.file), ignored);
}

std::string DescribeCopy(const PendingRecordCopy& copy) {
  std::string text = FileName(copy);
  if (copy.payload) {
    text += " (" + std::to_string(copy.payload->size()) + (copy.payload->size() == 1 ? " byte)" : " bytes)");
  } else {
    text += " (empty or damaged)";
  }
  if (copy.run.empty()) return text + ", taken at " + copy.location + " (no record of its unit or run)";
  return text + ", taken from " + UnitText(copy.unit) + " in the run of " + copy.run;
}

std::uint32_t PreservedRecordRun::Prepare(std::span<const std::uint8_t> area, const UnitIdentity& unit,
                                          const std::string& imageName, std::span<std::uint8_t> image) {
  done_.clear();
  const PreservedRecordStore store(ProgramDir());
  const bool code = AreaHoldsCode(area);
  std::optional<std::vector<std::uint8_t>> chipRecord;
  if (code) chipRecord = FindPreservedRecord(area);
  const std::vector<PendingRecordCopy> pending = store.Pending();

  RecordDecision decision = DecideRecord(chipRecord, unit, pending, TheRecordCopyInstruction());
  if (decision.plan == RecordPlan::kAskOperator) {
    decision = DecideRecord(chipRecord, unit, pending, AskOperator(unit, pending));
  }
  if (decision.plan == RecordPlan::kAskOperator) {
    std::string line = "this unit (" + UnitText(unit) + ") holds no preserved record while a copy is pending";
    for (const PendingRecordCopy& copy : pending) line += "; " + DescribeCopy(copy) + "; " + HowToDecide(copy);
    // Nothing was wrong with the read: the copy waits for the operator.
    return Refuse(line, msg::kRecordCopyPending);
  }
  if (decision.plan == RecordPlan::kRefuse) return Refuse(decision.why, msg::kReadFlashFail);
  for (std::size_t i : decision.setAside) {
    if (std::string problem = store.SetAside(pending[i]); !problem.empty()) return Refuse(problem, msg::kSaveFileDataFail);
  }

  if (decision.plan == RecordPlan::kWithoutRecord) {
    if (!code) ThePrompt().Show("SPI code not exist.", "Error");
    return 0;
  }
  const bool fromChip = decision.plan == RecordPlan::kCarryFromChip;
  const std::vector<std::uint8_t>& payload = fromChip ? *chipRecord : *pending[decision.copy].payload;
  if (image.size() < std::size_t{kPreservedArea} + kPreservedAreaSize ||
      !PutPreservedRecord(image.subspan(kPreservedArea, kPreservedAreaSize), payload)) {
    return Refuse("the preserved record does not fit the configuration area of " + imageName, msg::kReadFlashFail);
  }
  if (fromChip) {
    if (std::string problem = store.Keep(payload, unit, RunText(imageName)); !problem.empty()) {
      return Refuse(problem, msg::kSaveFileDataFail);
    }
    PendingRecordCopy kept;
    kept.location = unit.location;
    kept.file = store.CopyPath(unit.location);
    done_.push_back(std::move(kept));
  } else {
    done_.push_back(pending[decision.copy]);
    DebugPrint("Preserved record taken from %s\n", pending[decision.copy].file.string().c_str());
  }
  for (std::size_t i : decision.superseded) done_.push_back(pending[i]);
  return 0;
}

void PreservedRecordRun::Passed() {
  const PreservedRecordStore store(ProgramDir());
  for (const PendingRecordCopy& copy : done_) store.Remove(copy);
  done_.clear();
}

}  // namespace quillon
