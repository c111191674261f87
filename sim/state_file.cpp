#include "sim/state_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "platform/clock.h"
#include "platform/files.h"
#include "sim/journal.h"

namespace quillon::sim {
namespace {

constexpr std::string_view kMagic = "quillon-sim-state 1";
constexpr std::size_t kRow = 64;

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
  return text;
}

std::string_view NextWord(std::string_view& rest) {
  const std::size_t start = rest.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(start);
  const std::size_t end = rest.find(' ');
  std::string_view word = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  return word;
}

std::string_view FaultName(TransferFaultKind kind) {
  switch (kind) {
    case TransferFaultKind::kFail: return "fail";
    case TransferFaultKind::kStall: return "stall";
    case TransferFaultKind::kPowerLoss: return "power-loss";
    case TransferFaultKind::kUnplug: return "unplug";
  }
  return "fail";
}

std::optional<TransferFaultKind> ParseFault(std::string_view name) {
  if (name == "fail") return TransferFaultKind::kFail;
  if (name == "stall") return TransferFaultKind::kStall;
  if (name == "power-loss") return TransferFaultKind::kPowerLoss;
  if (name == "unplug") return TransferFaultKind::kUnplug;
  return std::nullopt;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A chip being read: its fields and the memory rows, built at "end".
struct PendingChip {
  ChipConfig config;
  std::string location;
  ChipFields fields;
  Faults faults;
  RunStats lastRun;
  std::uint32_t journalSequence = 0;
  bool pulled = false;
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> rows;
};

}  // namespace

std::string SerializeStates(const std::vector<ChipState>& chips) {
  std::ostringstream out;
  out << kMagic << '\n';
  for (const ChipState& chip : chips) {
    const ChipConfig& c = chip.config;
    out << "chip\n";
    out << "location " << chip.location << '\n';
    out << "generation " << chip.generation << '\n';
    out << "kind " << KindName(c.kind) << '\n';
    out << "transport " << TransportName(c.transport) << '\n';
    out << "request6 " << (c.request6 ? 1 : 0) << '\n';
    out << "ic " << FamilyInfo(c.ic).name << '\n';
    out << "variant " << unsigned{c.variant} << '\n';
    out << "vid " << Hex(c.vendorId) << '\n';
    out << "pid " << Hex(c.productId) << '\n';
    out << "rev " << Hex(c.bcdDevice) << '\n';
    out << "memory " << MemoryName(c.memory) << '\n';
    out << "size " << chip.memory.size() << '\n';
    if (!c.serial.empty()) out << "serial " << c.serial << '\n';
    out << "speed " << SpeedName(c.speed) << '\n';
    out << "off-bus-ms " << c.offBusMs << '\n';
    out << "not-ready-ms " << c.notReadyMs << '\n';
    out << "status-write-ms " << c.statusWriteMs << '\n';
    out << "page-program-us " << c.pageProgramUs << '\n';
    out << "status-register " << Hex(chip.statusRegister) << '\n';
    out << "nor-tagged " << (chip.norTagged ? 1 : 0) << '\n';
    out << "otp-lock " << Hex(chip.otpLock) << '\n';
    out << "mode " << static_cast<unsigned>(chip.mode) << '\n';
    out << "data-control-size " << chip.dataControlSize << '\n';
    for (const auto& [address, value] : chip.registers) out << "register " << Hex(address) << ' ' << Hex(value) << '\n';
    out << "power-lost " << (chip.powerLost ? 1 : 0) << '\n';
    out << "reset-pending " << (chip.resetPending ? 1 : 0) << '\n';
    for (const TransferFault& f : chip.faults.transfers) {
      out << "fault-transfer " << FaultName(f.kind) << ' ' << f.first << ' ' << f.count << '\n';
    }
    for (const PageLossFault& f : chip.faults.pageLoss) {
      out << "fault-page-loss " << f.program << ' ' << f.pages << '\n';
    }
    if (chip.faults.notReady != 0) out << "fault-not-ready " << chip.faults.notReady << '\n';
    if (chip.faults.flakyRead != 0) out << "fault-flaky-read " << chip.faults.flakyRead << '\n';
    for (std::uint16_t a : chip.faults.otpFail) out << "fault-otp-fail " << Hex(a) << '\n';
    for (std::uint32_t a : chip.faults.corruptRead) out << "fault-corrupt-read " << Hex(a) << '\n';
    if (chip.faults.slowEraseMs != 0) out << "fault-slow-erase-ms " << chip.faults.slowEraseMs << '\n';
    if (chip.faults.otpReportFail != 0) out << "fault-otp-report-fail " << chip.faults.otpReportFail << '\n';
    if (chip.faults.wpPulledUp) out << "fault-wp-pulled-up 1\n";
    out << "last-run " << chip.lastRun.transfers << ' ' << chip.lastRun.bytes << ' ' << chip.lastRun.failed << ' '
        << chip.lastRun.BusTimeUs() << ' ' << chip.lastRun.latencyUs << ' ' << chip.lastRun.occupancyNs << ' '
        << chip.lastRun.memoryReads << ' ' << chip.lastRun.otpReportReads << '\n';
    if (chip.journalSequence != 0) out << "journal-sequence " << chip.journalSequence << '\n';
    // Written only for a pulled chip, so that other states read as before.
    if (chip.pulled) out << "pulled 1\n";
    const auto bytes = chip.memory.bytes();
    const std::uint8_t blank = BlankValue(c.memory);
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t row = 0; row < bytes.size(); row += kRow) {
      const std::size_t n = std::min(kRow, bytes.size() - row);
      auto part = bytes.subspan(row, n);
      if (std::all_of(part.begin(), part.end(), [blank](std::uint8_t b) { return b == blank; })) continue;
      out << "data " << Hex(static_cast<std::uint32_t>(row)) << ' ';
      for (std::uint8_t b : part) out << kHex[b >> 4] << kHex[b & 0xF];
      out << '\n';
    }
    out << "end\n";
  }
  return out.str();
}

bool ParseStates(std::string_view text, std::vector<ChipState>& chips, std::string& error) {
  chips.clear();
  std::optional<PendingChip> chip;
  std::size_t lineNumber = 0;
  bool sawMagic = false;
  auto fail = [&](const std::string& why) {
    error = "state line " + std::to_string(lineNumber) + ": " + why;
    chips.clear();
    return false;
  };
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++lineNumber;
    if (line.empty()) continue;
    if (!sawMagic) {
      if (line != kMagic) return fail("not a simulator state file");
      sawMagic = true;
      continue;
    }
    std::string_view rest = line;
    const std::string_view key = NextWord(rest);
    if (key == "chip") {
      if (chip) return fail("chip inside a chip");
      chip.emplace();
      continue;
    }
    if (!chip) return fail("expected \"chip\"");
    if (key == "end") {
      PendingChip& p = *chip;
      if (p.location.empty()) return fail("chip without a location");
      if (p.config.memory != MemoryKind::kOtp && (p.config.memorySize == 0 || p.config.memorySize > kMaxMemorySize)) {
        return fail("bad memory size");
      }
      ChipState state(p.config, p.location);
      state.SetFields(p.fields);
      state.faults = std::move(p.faults);
      state.lastRun = p.lastRun;
      state.journalSequence = p.journalSequence;
      state.pulled = p.pulled;
      std::vector<std::uint8_t> image(state.memory.bytes().begin(), state.memory.bytes().end());
      for (const auto& [address, bytes] : p.rows) {
        if (std::uint64_t{address} + bytes.size() > image.size()) return fail("data beyond the memory");
        std::copy(bytes.begin(), bytes.end(), image.begin() + address);
      }
      state.memory.Load(image);
      chips.push_back(std::move(state));
      chip.reset();
      continue;
    }
    PendingChip& p = *chip;
    if (key == "location") {
      p.location = std::string(NextWord(rest));
      continue;
    }
    if (key == "serial") {
      p.config.serial = std::string(rest);
      continue;
    }
    if (key == "data") {
      auto address = ParseNumber(NextWord(rest));
      const std::string_view hex = NextWord(rest);
      if (!address || hex.empty() || hex.size() % 2 != 0) return fail("bad data row");
      std::vector<std::uint8_t> bytes;
      for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0) return fail("bad data row");
        bytes.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
      }
      p.rows.emplace_back(*address, std::move(bytes));
      continue;
    }
    if (key == "fault-transfer") {
      auto kind = ParseFault(NextWord(rest));
      auto first = ParseNumber(NextWord(rest));
      auto count = ParseNumber(NextWord(rest));
      if (!kind || !first || !count || *first == 0) return fail("bad fault");
      p.faults.transfers.push_back({*kind, *first, *count});
      continue;
    }
    if (key == "fault-page-loss") {
      auto program = ParseNumber(NextWord(rest));
      auto pages = ParseNumber(NextWord(rest));
      if (!program || !pages || *program == 0) return fail("bad fault");
      p.faults.pageLoss.push_back({*program, *pages});
      continue;
    }
    if (key == "last-run") {
      auto a = ParseNumber(NextWord(rest)), b = ParseNumber(NextWord(rest)), c = ParseNumber(NextWord(rest)),
           d = ParseNumber(NextWord(rest));
      if (!a || !b || !c || !d) return fail("bad run counts");
      // Latency and occupancy follow the total; a file without them had the
      // total alone, all of it counted as latency.
      const std::string_view latency = NextWord(rest), occupancy = NextWord(rest);
      if (latency.empty()) {
        p.lastRun = {*a, *b, *c, *d, 0};
      } else {
        auto e = ParseNumber(latency), f = ParseNumber(occupancy);
        if (!e || !f) return fail("bad run counts");
        p.lastRun = {*a, *b, *c, *e, *f};
        // The read counts came later still.
        if (const std::string_view reads = NextWord(rest); !reads.empty()) {
          auto g = ParseNumber(reads), h = ParseNumber(NextWord(rest));
          if (!g || !h) return fail("bad run counts");
          p.lastRun.memoryReads = *g;
          p.lastRun.otpReportReads = *h;
        }
      }
      continue;
    }
    if (key == "kind" || key == "transport" || key == "ic" || key == "memory" || key == "speed") {
      const std::string_view word = NextWord(rest);
      bool ok = true;
      if (key == "kind") {
        auto v = ParseKind(word);
        ok = v.has_value();
        if (ok) p.config.kind = *v;
      } else if (key == "transport") {
        auto v = ParseTransport(word);
        ok = v.has_value();
        if (ok) p.config.transport = *v;
      } else if (key == "ic") {
        auto v = ParseIcFamily(word);
        ok = v.has_value();
        if (ok) p.config.ic = *v;
      } else if (key == "memory") {
        auto v = ParseMemory(word);
        ok = v.has_value();
        if (ok) p.config.memory = *v;
      } else {
        auto v = ParseSpeed(word);
        ok = v.has_value();
        if (ok) p.config.speed = *v;
      }
      if (!ok) return fail("bad " + std::string(key));
      continue;
    }
    if (key == "register") {
      auto address = ParseNumber(NextWord(rest));
      auto value = ParseNumber(NextWord(rest));
      if (!address || !value || *address > 0xFFFF || *value > 0xFF) return fail("bad register");
      p.fields.registers[static_cast<std::uint16_t>(*address)] = static_cast<std::uint8_t>(*value);
      continue;
    }
    // The remaining keys carry one number each.
    auto value = ParseNumber(NextWord(rest));
    if (!value) return fail("bad value of " + std::string(key));
    const std::uint32_t v = *value;
    auto u8 = [&](std::uint8_t& field) {
      if (v > 0xFF) return false;
      field = static_cast<std::uint8_t>(v);
      return true;
    };
    auto u16 = [&](std::uint16_t& field) {
      if (v > 0xFFFF) return false;
      field = static_cast<std::uint16_t>(v);
      return true;
    };
    bool ok = true;
    if (key == "generation") p.fields.generation = v;
    else if (key == "request6") p.config.request6 = v != 0;
    else if (key == "variant") ok = v <= 0x0F && u8(p.config.variant);
    else if (key == "vid") ok = u16(p.config.vendorId);
    else if (key == "pid") ok = u16(p.config.productId);
    else if (key == "rev") ok = u16(p.config.bcdDevice);
    else if (key == "size") p.config.memorySize = v;
    else if (key == "off-bus-ms") p.config.offBusMs = v;
    else if (key == "not-ready-ms") p.config.notReadyMs = v;
    else if (key == "status-write-ms") p.config.statusWriteMs = v;
    else if (key == "page-program-us") p.config.pageProgramUs = v;
    else if (key == "status-register") ok = u8(p.fields.statusRegister);
    else if (key == "nor-tagged") p.fields.norTagged = v != 0;
    else if (key == "otp-lock") ok = u8(p.fields.otpLock);
    else if (key == "mode") {
      auto mode = RunModeOf(v);
      ok = mode.has_value();
      if (ok) p.fields.mode = *mode;
    } else if (key == "data-control-size") ok = (v == 8 || v == 64) && u16(p.fields.dataControlSize);
    else if (key == "power-lost") p.fields.powerLost = v != 0;
    else if (key == "reset-pending") p.fields.resetPending = v != 0;
    else if (key == "fault-not-ready") p.faults.notReady = v;
    else if (key == "fault-flaky-read") p.faults.flakyRead = v;
    else if (key == "journal-sequence") p.journalSequence = v;
    else if (key == "pulled") p.pulled = v != 0;
    else if (key == "fault-otp-fail") {
      std::uint16_t a = 0;
      ok = u16(a);
      if (ok) p.faults.otpFail.push_back(a);
    } else if (key == "fault-corrupt-read") p.faults.corruptRead.push_back(v);
    else if (key == "fault-slow-erase-ms") p.faults.slowEraseMs = v;
    else if (key == "fault-otp-report-fail") p.faults.otpReportFail = v;
    else if (key == "fault-wp-pulled-up") p.faults.wpPulledUp = v != 0;
    else return fail("unknown key " + std::string(key));
    if (!ok) return fail("bad value of " + std::string(key));
  }
  if (!sawMagic) return fail("empty state file");
  if (chip) return fail("chip without \"end\"");
  return true;
}

bool LoadStateFile(const std::filesystem::path& file, std::vector<ChipState>& chips, std::string& error) {
  auto bytes = ReadWholeFile(file);
  if (!bytes) {
    error = "cannot read " + file.string();
    return false;
  }
  if (!ParseStates(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), chips, error)) {
    return false;
  }
  // What a killed run changed after the state was last saved.
  for (ChipState& chip : chips) {
    if (auto journal = ReadWholeFile(JournalPath(file, chip.location))) {
      ReplayJournal(std::string_view(reinterpret_cast<const char*>(journal->data()), journal->size()), chip);
    }
  }
  return true;
}

bool SaveStateFile(const std::filesystem::path& file, const std::vector<ChipState>& chips, std::string& error) {
  const std::filesystem::path temp = file.string() + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << SerializeStates(chips);
    if (!out.flush()) {
      error = "cannot write " + temp.string();
      return false;
    }
  }
  std::error_code failure;
  std::filesystem::rename(temp, file, failure);
  if (failure) {
    error = "cannot replace " + file.string() + ": " + failure.message();
    return false;
  }
  return true;
}

StateFileLock::StateFileLock(const std::filesystem::path& stateFile, std::uint32_t waitMs) {
  const std::string lockFile = stateFile.string() + ".lock";
  fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) return;
  const std::uint64_t deadline = TheClock().NowMs() + waitMs;
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || TheClock().NowMs() >= deadline) return;
    TheClock().SleepMs(20);
  }
  held_ = true;
}

StateFileLock::~StateFileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace quillon::sim
