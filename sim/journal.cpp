#include "sim/journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <vector>

#include "platform/debug_channel.h"

namespace quillon::sim {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// FNV-1a over the record's text before its checksum.
std::uint64_t Checksum(std::string_view text) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : text) {
    hash ^= static_cast<std::uint8_t>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

void PutHex(std::string& out, std::uint64_t value) {
  char text[20];
  auto [end, error] = std::to_chars(text, text + sizeof text, value, 16);
  (void)error;
  out.append(text, end);
  out += ' ';
}

// Reads the record's words left to right; any malformed word fails the record.
class Words {
 public:
  explicit Words(std::string_view text) : rest_(text) {}

  std::string_view Next() {
    const std::size_t end = rest_.find(' ');
    std::string_view word = rest_.substr(0, end);
    rest_ = end == std::string_view::npos ? std::string_view{} : rest_.substr(end + 1);
    return word;
  }
  std::optional<std::uint64_t> Number(std::uint64_t max) {
    const std::string_view word = Next();
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, 16);
    if (word.empty() || error != std::errc() || end != word.data() + word.size() || value > max) return std::nullopt;
    return value;
  }
  bool AtEnd() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

struct Parsed {
  std::uint32_t sequence = 0;
  ChipFields fields;
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> rows;
};

std::optional<Parsed> ParseRecord(std::string_view line) {
  const std::size_t lastSpace = line.rfind(' ');
  if (lastSpace == std::string_view::npos) return std::nullopt;
  Words sum(line.substr(lastSpace + 1));
  auto checksum = sum.Number(UINT64_MAX);
  if (!checksum || *checksum != Checksum(line.substr(0, lastSpace + 1))) return std::nullopt;
  Words words(line.substr(0, lastSpace));
  Parsed p;
  auto sequence = words.Number(UINT32_MAX), generation = words.Number(UINT32_MAX), sr = words.Number(0xFF),
       tagged = words.Number(1), lock = words.Number(0xFF), mode = words.Number(0xFF), dcs = words.Number(0xFFFF),
       lost = words.Number(1), pending = words.Number(1), registers = words.Number(0x10000);
  if (!sequence || !generation || !sr || !tagged || !lock || !mode || !RunModeOf(static_cast<std::uint32_t>(*mode)) || !dcs || !lost || !pending ||
      !registers) {
    return std::nullopt;
  }
  p.sequence = static_cast<std::uint32_t>(*sequence);
  ChipFields& f = p.fields;
  f.generation = static_cast<std::uint32_t>(*generation);
  f.statusRegister = static_cast<std::uint8_t>(*sr);
  f.norTagged = *tagged != 0;
  f.otpLock = static_cast<std::uint8_t>(*lock);
  f.mode = *RunModeOf(static_cast<std::uint32_t>(*mode));
  f.dataControlSize = static_cast<std::uint16_t>(*dcs);
  f.powerLost = *lost != 0;
  f.resetPending = *pending != 0;
  for (std::uint64_t i = 0; i < *registers; ++i) {
    auto address = words.Number(0xFFFF), value = words.Number(0xFF);
    if (!address || !value) return std::nullopt;
    f.registers[static_cast<std::uint16_t>(*address)] = static_cast<std::uint8_t>(*value);
  }
  auto rows = words.Number(UINT32_MAX);
  if (!rows) return std::nullopt;
  for (std::uint64_t i = 0; i < *rows; ++i) {
    auto address = words.Number(UINT32_MAX);
    const std::string_view hex = words.Next();
    if (!address || hex.empty() || hex.size() % 2 != 0 || hex.size() > 2 * kJournalRow) return std::nullopt;
    std::vector<std::uint8_t> bytes(hex.size() / 2);
    for (std::size_t b = 0; b < bytes.size(); ++b) {
      auto [end, error] = std::from_chars(hex.data() + 2 * b, hex.data() + 2 * b + 2, bytes[b], 16);
      if (error != std::errc() || end != hex.data() + 2 * b + 2) return std::nullopt;
    }
    p.rows.emplace_back(static_cast<std::uint32_t>(*address), std::move(bytes));
  }
  if (!words.AtEnd()) return std::nullopt;
  return p;
}

}  // namespace

std::filesystem::path JournalPath(const std::filesystem::path& stateFile, const std::string& location) {
  return stateFile.string() + ".journal-" + location;
}

std::string JournalRecord(std::uint32_t sequence, const ChipFields& f, const ChipMemory& memory,
                          std::span<const std::uint32_t> rows) {
  std::string out;
  out.reserve(64 + rows.size() * (2 * kJournalRow + 10));
  for (std::uint64_t value :
       {std::uint64_t{sequence}, std::uint64_t{f.generation}, std::uint64_t{f.statusRegister},
        std::uint64_t{f.norTagged}, std::uint64_t{f.otpLock}, std::uint64_t{static_cast<std::uint8_t>(f.mode)},
        std::uint64_t{f.dataControlSize}, std::uint64_t{f.powerLost}, std::uint64_t{f.resetPending},
        std::uint64_t{f.registers.size()}}) {
    PutHex(out, value);
  }
  for (const auto& [address, value] : f.registers) {
    PutHex(out, address);
    PutHex(out, value);
  }
  PutHex(out, rows.size());
  const auto bytes = memory.bytes();
  for (std::uint32_t row : rows) {
    PutHex(out, row);
    const std::size_t end = std::min<std::size_t>(bytes.size(), std::size_t{row} + kJournalRow);
    for (std::size_t i = row; i < end; ++i) {
      out += kHex[bytes[i] >> 4];
      out += kHex[bytes[i] & 0xF];
    }
    out += ' ';
  }
  PutHex(out, Checksum(out));
  out.back() = '\n';
  return out;
}

std::size_t ReplayJournal(std::string_view text, ChipState& chip) {
  std::size_t applied = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) break;  // cut short by the kill
    auto record = ParseRecord(text.substr(0, end));
    text.remove_prefix(end + 1);
    if (!record) break;
    if (record->sequence <= chip.journalSequence) continue;  // already in the saved state
    chip.SetFields(record->fields);
    for (const auto& [address, bytes] : record->rows) chip.memory.Restore(address, bytes);
    chip.journalSequence = record->sequence;
    ++applied;
  }
  if (applied > 0) {
    chip.faults.SpendRunFaults();
  }
  return applied;
}

JournalWriter::JournalWriter(std::filesystem::path file) : file_(std::move(file)) {
  fd_ = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) DebugPrint("Simulator journal %s not opened: errno %d\n", file_.c_str(), errno);
}

JournalWriter::~JournalWriter() {
  if (fd_ >= 0) ::close(fd_);
}

bool JournalWriter::Append(std::string_view record) {
  if (fd_ < 0) return false;
  while (!record.empty()) {
    const ssize_t n = ::write(fd_, record.data(), record.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      DebugPrint("Simulator journal %s not written: errno %d\n", file_.c_str(), errno);
      ::close(fd_);
      fd_ = -1;
      return false;
    }
    record.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace quillon::sim
