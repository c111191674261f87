// The customer's preserved record of the one device that carries it: read
// from the chip before its flash is erased, kept as a copy in the program
// directory ("PreservedRecord_<location>.bin") until a write has put it back,
// and never written into a unit it did not come from. A copy left by a run
// that was cut short stays pending until the operator restores it into its
// unit or sets it aside; no run guesses which unit it belongs to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillon {

// Where the customer's record lives in the flash: one 4 KB area at 0xF000.
inline constexpr std::uint32_t kPreservedArea = 0xF000;
inline constexpr std::uint32_t kPreservedAreaSize = 4096;

// What identifies a unit before its flash is erased, besides the record itself.
struct UnitIdentity {
  std::string location;
  std::string idText;     // "VID_%04X&PID_%04X&REV_%04X"
  std::string usbSerial;  // the serial-number string it reported
  std::string flashId;    // its flash part's identity bytes in hex; empty when unread

  bool operator==(const UnitIdentity&) const = default;
};

// A copy in the program directory that no passed write has used yet.
struct PendingRecordCopy {
  std::string location;  // the port of the unit it was taken from
  std::filesystem::path file;
  std::optional<std::vector<std::uint8_t>> payload;  // nothing: empty, too long or unreadable
  UnitIdentity unit;     // empty fields for a copy kept without its unit file
  std::string run;       // when it was taken and which image was being written
};

// The operator's word on pending copies: from the batch option or the window's questions.
struct RecordCopyInstruction {
  std::optional<std::string> restore;  // the location whose copy goes into this unit
  std::vector<std::string> setAside;   // locations whose copies are moved aside

  bool operator==(const RecordCopyInstruction&) const = default;
};

enum class RecordPlan {
  kCarryFromChip,  // the chip holds its record: keep a copy, put it into the image
  kRestoreCopy,    // the operator named the copy that goes into this unit
  kWithoutRecord,  // no record on the chip and none pending
  kAskOperator,    // no record on the chip, copies pending, no word from the operator
  kRefuse,
};

struct RecordDecision {
  RecordPlan plan = RecordPlan::kRefuse;
  std::size_t copy = 0;                 // kRestoreCopy: the copy to write
  std::vector<std::size_t> setAside;    // copies moved aside before anything else
  std::vector<std::size_t> superseded;  // copies of this unit's own record: removed after a pass
  std::string why;                      // kRefuse: one line for the operator

  bool operator==(const RecordDecision&) const = default;
};

// What to do with the record of `unit`, whose chip holds `chipRecord` (or no
// record), while `pending` copies wait. A pure function of its values.
RecordDecision DecideRecord(const std::optional<std::vector<std::uint8_t>>& chipRecord, const UnitIdentity& unit,
                            std::span<const PendingRecordCopy> pending, const RecordCopyInstruction& instruction);

// The batch option's instruction for this process (none by default).
void SetRecordCopyInstruction(RecordCopyInstruction instruction);
const RecordCopyInstruction& TheRecordCopyInstruction();

// The copies in the program directory.
class PreservedRecordStore {
 public:
  explicit PreservedRecordStore(std::filesystem::path dir) : dir_(std::move(dir)) {}

  std::filesystem::path CopyPath(const std::string& location) const;
  std::vector<PendingRecordCopy> Pending() const;
  // Keeps the copy and its unit file durably; "" or the reason it could not.
  std::string Keep(std::span<const std::uint8_t> payload, const UnitIdentity& unit, const std::string& run) const;
  // Renames the copy and its unit file out of the pending set, keeping their bytes.
  std::string SetAside(const PendingRecordCopy& copy) const;
  void Remove(const PendingRecordCopy& copy) const;

 private:
  std::filesystem::path dir_;
};

// One line naming a pending copy: its file, the unit and the run it came from.
std::string DescribeCopy(const PendingRecordCopy& copy);

// One download's handling of the record.
class PreservedRecordRun {
 public:
  // Before anything changes on the chip: `area` is the chip's configuration
  // area as read, `image` the image to write (its area at 0xF000 gets the
  // record). Returns 0, or the status id of the refusal, whose line the
  // operator has been shown.
  std::uint32_t Prepare(std::span<const std::uint8_t> area, const UnitIdentity& unit, const std::string& imageName,
                        std::span<std::uint8_t> image);
  // After a passed write: the copies of the record now in the chip go.
  void Passed();

 private:
  std::vector<PendingRecordCopy> done_;  // removed once the write passes
};

}  // namespace quillon
