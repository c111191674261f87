#include "sweep/sweep_cases.h"

#include <algorithm>
#include <cstdlib>

namespace quillon::sweep {
namespace {

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!item.empty()) out.push_back(item);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

std::optional<std::uint32_t> Number(const std::string& text) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || value > 0xFFFFFFFFul) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::uint32_t PagesOf(std::uint32_t address, std::uint32_t length) {
  return length == 0 ? 0 : (address + length - 1) / 256 - address / 256 + 1;
}

// Transfer indices at every boundary of the reference run: the first, second,
// middle and last two transfers of every run of one command.
std::set<std::uint32_t> SpreadIndices(const std::vector<std::string>& commands) {
  std::set<std::uint32_t> out;
  const std::uint32_t total = static_cast<std::uint32_t>(commands.size());
  for (std::uint32_t first = 1; first <= total;) {
    std::uint32_t last = first;
    while (last < total && commands[last] == commands[first - 1]) ++last;
    for (std::uint32_t n : {first, first + 1, (first + last) / 2, last - 1, last}) {
      if (n >= first && n <= last) out.insert(n);
    }
    first = last + 1;
  }
  return out;
}

}  // namespace

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kPower: return "power";
    case Kind::kFail: return "fail";
    case Kind::kStall: return "stall";
    case Kind::kLost: return "lost";
    case Kind::kUnplug: return "unplug";
    case Kind::kPages: return "pages";
    case Kind::kOtpReport: return "otp-report";
    case Kind::kFlaky: return "flaky";
  }
  return "?";
}

const char* const kUsage =
    "usage: fault_sweep [--command-line] [--setup NAME[,NAME...]]\n"
    "                   [--kind power,fail,stall,lost,unplug,pages,otp-report,flaky]\n"
    "                   [--every | --spread | --stride N | --index N[,N...]] [--program M --pages K]\n"
    "                   [--fail-count N] [--list] [--verbose] [--help]\n"
    "  --command-line  run each operation through the whole batch mode (quillon -f ...): the\n"
    "               detection phase, the exit code and the records too; also the set-ups only it\n"
    "               reaches (vendor-only chips, a SaveSN station); default kinds power,fail,stall,\n"
    "               lost,unplug (its runs are not traced page by page)\n"
    "  --every      every transfer index and every page of every flash write (default)\n"
    "  --spread     the first, second, middle and last two transfers of every run of one command,\n"
    "               every page of the flash writes at the area, the tag and the ends\n"
    "  --stride N   every N-th transfer and page (plus the spread)\n"
    "  --index      these transfers only; --program/--pages: that one page-loss case\n"
    "  --fail-count how many transfers fail from the faulted one on (default 64: past any retry)\n"
    "  otp-report   the OTP's program-fail report reads fail from the N-th on until the fault is\n"
    "               cleared for the second run; flaky: the N-th memory read returns one flipped\n"
    "               bit. Both run every N the run without a fault reached (--index: those N)\n";


bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    if (arg == "--setup") {
      auto v = value();
      if (!v) return false;
      for (auto& name : SplitList(*v)) o.setUps.insert(name);
    } else if (arg == "--kind") {
      auto v = value();
      if (!v) return false;
      o.kinds.clear();
      for (auto& name : SplitList(*v)) {
        auto it = std::find_if(std::begin(kKinds), std::end(kKinds), [&](Kind k) { return name == KindName(k); });
        if (it == std::end(kKinds)) return false;
        o.kinds.push_back(*it);
      }
    } else if (arg == "--command-line") {
      o.commandLine = true;
    } else if (arg == "--every") {
      o.select = Options::Select::kEvery;
    } else if (arg == "--spread") {
      o.select = Options::Select::kSpread;
    } else if (arg == "--stride") {
      auto v = value();
      auto n = v ? Number(*v) : std::nullopt;
      if (!n || *n == 0) return false;
      o.select = Options::Select::kStride;
      o.stride = *n;
    } else if (arg == "--index") {
      auto v = value();
      if (!v) return false;
      o.select = Options::Select::kIndex;
      for (auto& item : SplitList(*v)) {
        auto n = Number(item);
        if (!n || *n == 0) return false;
        o.indices.push_back(*n);
      }
    } else if (arg == "--program" || arg == "--pages" || arg == "--fail-count") {
      auto v = value();
      auto n = v ? Number(*v) : std::nullopt;
      if (!n) return false;
      if (arg == "--program") {
        if (*n == 0) return false;
        o.program = *n;
        o.select = Options::Select::kIndex;
      } else if (arg == "--pages") {
        o.pages = *n;
      } else {
        o.failCount = *n;
      }
    } else if (arg == "--list") {
      o.list = true;
    } else if (arg == "--verbose") {
      o.verbose = true;
    } else if (arg == "--help") {
      o.help = true;
    } else {
      return false;
    }
  }
  if (o.kinds.empty() && o.commandLine) o.kinds.assign(std::begin(kCommandLineKinds), std::end(kCommandLineKinds));
  if (o.kinds.empty()) o.kinds.assign(std::begin(kInProcessKinds), std::end(kInProcessKinds));
  if (o.commandLine && (o.program || std::find(o.kinds.begin(), o.kinds.end(), Kind::kPages) != o.kinds.end())) {
    return false;
  }
  return o.program.has_value() == o.pages.has_value();
}

std::string CaseCommand(const SetUp& s, const Case& c, bool commandLine) {
  std::string line = std::string("fault_sweep ") + (commandLine ? "--command-line " : "") + "--setup " + s.name +
                     " --kind " + KindName(c.kind);
  if (c.kind == Kind::kPages) {
    line += " --program " + std::to_string(c.program) + " --pages " + std::to_string(c.pages);
  } else {
    line += " --index " + std::to_string(c.index);
  }
  return line;
}

void Arm(sim::ChipState& chip, const Case& c, std::uint32_t failCount) {
  using sim::TransferFaultKind;
  switch (c.kind) {
    case Kind::kPower: chip.faults.transfers.push_back({TransferFaultKind::kPowerLoss, c.index, 1}); break;
    case Kind::kFail: chip.faults.transfers.push_back({TransferFaultKind::kFail, c.index, failCount}); break;
    case Kind::kStall: chip.faults.transfers.push_back({TransferFaultKind::kStall, c.index, 1}); break;
    case Kind::kLost: chip.faults.transfers.push_back({TransferFaultKind::kFail, c.index, 1}); break;
    case Kind::kUnplug: chip.faults.transfers.push_back({TransferFaultKind::kUnplug, c.index, 1}); break;
    case Kind::kPages: chip.faults.pageLoss.push_back({c.program, c.pages}); break;
    case Kind::kOtpReport: chip.faults.otpReportFail = c.index; break;
    case Kind::kFlaky: chip.faults.flakyRead = c.index; break;
  }
}

std::vector<Case> ChooseCases(const Options& o, Kind kind, const RunResult& ref, const SetUp& s) {
  std::vector<Case> cases;
  const std::uint32_t total = static_cast<std::uint32_t>(ref.commands.size());
  if (kind == Kind::kPages) {
    if (o.program) return {{kind, 0, *o.program, *o.pages}};
    for (std::uint32_t m = 1; m <= ref.programs.size(); ++m) {
      const auto [address, length] = ref.programs[m - 1];
      const std::uint32_t pages = PagesOf(address, length);
      const bool keyWrite = m <= 2 || m + 1 >= ref.programs.size() || length <= 4 ||
                            (address <= 0xF000 && 0xF000 < address + length) || address == 0 ||
                            (address <= s.tagAddress && s.tagAddress < address + length);
      for (std::uint32_t k = 0; k < pages; ++k) {
        bool take = false;
        switch (o.select) {
          case Options::Select::kEvery: take = true; break;
          case Options::Select::kSpread: take = keyWrite || k == 0 || k == pages / 2 || k + 1 == pages; break;
          case Options::Select::kStride: take = keyWrite || (m * 31 + k) % o.stride == 0; break;
          case Options::Select::kIndex: take = false; break;
        }
        if (take) cases.push_back({kind, 0, m, k});
      }
    }
    return cases;
  }
  if (o.program) return cases;
  if (CountsReads(kind)) {
    const std::uint64_t reads = ref.chips.empty()              ? 0
                                : kind == Kind::kOtpReport ? ref.chips[0].lastRun.otpReportReads
                                                           : ref.chips[0].lastRun.memoryReads;
    if (o.select == Options::Select::kIndex) {
      for (std::uint32_t n : o.indices) cases.push_back({kind, n});
    } else {
      for (std::uint32_t n = 1; n <= reads; ++n) cases.push_back({kind, n});
    }
    return cases;
  }
  std::set<std::uint32_t> indices;
  switch (o.select) {
    case Options::Select::kEvery:
      for (std::uint32_t n = 1; n <= total; ++n) indices.insert(n);
      break;
    case Options::Select::kSpread:
      indices = SpreadIndices(ref.commands);
      break;
    case Options::Select::kStride:
      indices = SpreadIndices(ref.commands);
      for (std::uint32_t n = 1; n <= total; n += o.stride) indices.insert(n);
      break;
    case Options::Select::kIndex:
      indices.insert(o.indices.begin(), o.indices.end());
      break;
  }
  for (std::uint32_t n : indices) cases.push_back({kind, n});
  return cases;
}

}  // namespace quillon::sweep
