// fault_sweep: proves that an interrupted operation never reports PASS
// wrongly and never leaves a chip that starts a partial image. For each
// set-up it runs the operation once without a fault, then again from the same
// starting chip with one fault at each chosen transfer (power loss, a failure
// that outlasts the retries, a stall, the cable pulled) and, for power loss,
// after each page of each flash write. After each run the chip's power is
// cycled: it must stay in its loader or run the complete old or new image; a
// second run must then pass.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/chip_model.h"
#include "support/temp_dir.h"
#include "sweep/sweep_harness.h"
#include "sweep/sweep_setups.h"

namespace quillon::sweep {
namespace {

enum class Kind { kPower, kFail, kStall, kUnplug, kPages };
constexpr Kind kKinds[] = {Kind::kPower, Kind::kFail, Kind::kStall, Kind::kUnplug, Kind::kPages};

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kPower: return "power";
    case Kind::kFail: return "fail";
    case Kind::kStall: return "stall";
    case Kind::kUnplug: return "unplug";
    case Kind::kPages: return "pages";
  }
  return "?";
}

constexpr const char* kUsage =
    "usage: fault_sweep [--setup NAME[,NAME...]] [--kind power,fail,stall,unplug,pages]\n"
    "                   [--every | --spread | --stride N | --index N[,N...]] [--program M --pages K]\n"
    "                   [--fail-count N] [--list] [--verbose]\n"
    "  --every      every transfer index and every page of every flash write (default)\n"
    "  --spread     the first, second, middle and last two transfers of every run of one command,\n"
    "               every page of the flash writes at the area, the tag and the ends\n"
    "  --stride N   every N-th transfer and page (plus the spread)\n"
    "  --index      these transfers only; --program/--pages: that one page-loss case\n"
    "  --fail-count how many transfers fail from the faulted one on (default 64: past any retry)\n";

struct Options {
  std::set<std::string> setUps;
  std::vector<Kind> kinds{std::begin(kKinds), std::end(kKinds)};
  enum class Select { kEvery, kSpread, kStride, kIndex } select = Select::kEvery;
  std::uint32_t stride = 1;
  std::vector<std::uint32_t> indices;
  std::optional<std::uint32_t> program, pages;
  std::uint32_t failCount = 64;
  bool list = false;
  bool verbose = false;
};

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

bool Parse(int argc, char** argv, Options& o) {
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
    } else {
      return false;
    }
  }
  return o.program.has_value() == o.pages.has_value();
}

// ---- what a chip holds after its power was cycled ----

enum class Outcome { kNew, kOld, kLoader, kPartial };

struct Expect {
  std::vector<std::uint8_t> oldMemory, newMemory;
  sim::RunMode oldMode, newMode;
};

bool SameMemory(std::span<const std::uint8_t> have, const std::vector<std::uint8_t>& want) {
  return std::equal(have.begin(), have.end(), want.begin(), want.end());
}

Outcome Classify(const sim::ChipState& chip, const Expect& e) {
  const auto memory = chip.memory.bytes();
  if (chip.mode == e.newMode && SameMemory(memory, e.newMemory)) return Outcome::kNew;
  if (chip.mode == e.oldMode && SameMemory(memory, e.oldMemory)) return Outcome::kOld;
  if (chip.mode == sim::RunMode::kLoader) return Outcome::kLoader;
  return Outcome::kPartial;
}

const char* OutcomeName(Outcome o) {
  switch (o) {
    case Outcome::kNew: return "new image";
    case Outcome::kOld: return "old image";
    case Outcome::kLoader: return "loader";
    case Outcome::kPartial: return "PARTIAL image";
  }
  return "?";
}

// ---- one fault case ----

struct Case {
  Kind kind;
  std::uint32_t index = 0;    // the faulted transfer
  std::uint32_t program = 0;  // the faulted flash write (kPages)
  std::uint32_t pages = 0;    // pages programmed before the power goes
};

std::string CaseCommand(const SetUp& s, const Case& c) {
  std::string line = "fault_sweep --setup " + s.name + " --kind " + KindName(c.kind);
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
    case Kind::kUnplug: chip.faults.transfers.push_back({TransferFaultKind::kUnplug, c.index, 1}); break;
    case Kind::kPages: chip.faults.pageLoss.push_back({c.program, c.pages}); break;
  }
}

struct Tally {
  std::uint64_t runs = 0, passes = 0, falsePass = 0, partial = 0, unrecovered = 0;
  std::string firstFailure;
};

// ---- which cases ----

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

// ---- one set-up ----

bool WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// Returns false when the set-up itself does not work (no fault yet).
bool SweepSetUp(const SetUp& s, const Options& o, const std::filesystem::path& home, std::map<Kind, Tally>& tallies) {
  sim::ChipState blank(s.chip, "1-1");
  if (!s.onChip.empty() && !blank.memory.Load(s.onChip)) return false;
  const std::vector<sim::ChipState> start = PowerCycled({blank});

  Operation op{s.letter, (home / "image.rfw").string(), FlowMemoryOf(s.chip.memory)};
  Operation again = op;
  if (!s.file.empty() && !WriteFile(op.file, s.file)) return false;
  if (s.passNeverRight) {
    again.file = (home / "right.rfw").string();
    if (!WriteFile(again.file, s.onChip)) return false;
  }

  const RunResult ref = RunOperation(op, start, home, true);
  const std::vector<sim::ChipState> refEnd = PowerCycled(ref.chips);
  if ((ref.result == 1) == s.passNeverRight) {
    std::printf("%s: the run without a fault gave %d\n", s.name.c_str(), ref.result);
    return false;
  }
  if (ref.commands.size() != ref.chips[0].lastRun.transfers) {
    std::printf("%s: %zu transfers seen, the chip counted %llu\n", s.name.c_str(), ref.commands.size(),
                static_cast<unsigned long long>(ref.chips[0].lastRun.transfers));
    return false;
  }
  Expect expect;
  expect.oldMemory.assign(start[0].memory.bytes().begin(), start[0].memory.bytes().end());
  expect.oldMode = start[0].mode;
  expect.newMemory.assign(refEnd[0].memory.bytes().begin(), refEnd[0].memory.bytes().end());
  expect.newMode = refEnd[0].mode;
  if (s.passNeverRight) {
    expect.newMemory = expect.oldMemory;
    expect.newMode = expect.oldMode;
  }
  std::printf("%s: %zu transfers, %zu flash writes without a fault\n", s.name.c_str(), ref.commands.size(),
              ref.programs.size());
  if (o.verbose) {
    std::map<std::string, std::size_t> perCommand;
    for (const std::string& c : ref.commands) ++perCommand[c];
    for (const auto& [command, n] : perCommand) std::printf("  %s: %zu transfers\n", command.c_str(), n);
    for (const auto& [address, length] : ref.programs) std::printf("  flash write 0x%X/%u\n", address, length);
  }
  std::fflush(stdout);

  // Many faults leave the same chip behind (any fault inside one data phase,
  // say): the second run from a chip seen before is not repeated.
  struct Recovery {
    int result;
    Outcome outcome;
  };
  std::unordered_map<std::string, Recovery> recoveries;
  auto recover = [&](const std::vector<sim::ChipState>& chips) {
    const sim::ChipState& c = chips[0];
    const auto memory = c.memory.bytes();
    std::string key(memory.begin(), memory.end());
    key += {static_cast<char>(c.mode), static_cast<char>(c.statusRegister), static_cast<char>(c.norTagged),
            static_cast<char>(c.otpLock)};
    auto it = recoveries.find(key);
    if (it != recoveries.end()) return it->second;
    const RunResult second = RunOperation(again, chips, home, false);
    const Recovery r{second.result, Classify(PowerCycled(second.chips)[0], expect)};
    recoveries.emplace(std::move(key), r);
    return r;
  };

  for (Kind kind : o.kinds) {
    Tally& t = tallies[kind];
    for (const Case& c : ChooseCases(o, kind, ref, s)) {
      std::vector<sim::ChipState> chips = start;
      Arm(chips[0], c, o.failCount);
      const RunResult run = RunOperation(op, chips, home, false);
      const std::vector<sim::ChipState> after = PowerCycled(run.chips);
      const Outcome outcome = Classify(after[0], expect);
      const Recovery second = recover(after);
      const Outcome recovered = second.outcome;

      ++t.runs;
      const bool pass = run.result == 1;
      const bool falsePass = pass && (s.passNeverRight || outcome != Outcome::kNew);
      const bool partial = outcome == Outcome::kPartial;
      const bool unrecovered = second.result != 1 || recovered != Outcome::kNew;
      t.passes += pass && !falsePass;
      t.falsePass += falsePass;
      t.partial += partial;
      t.unrecovered += unrecovered;
      if ((falsePass || partial || unrecovered) && t.firstFailure.empty()) {
        t.firstFailure = CaseCommand(s, c) + "   (" + (pass ? "PASS, " : "FAIL, ") + OutcomeName(outcome) +
                         (unrecovered ? ", second run " + std::string(second.result == 1 ? "PASS, " : "FAIL, ") +
                                            OutcomeName(recovered)
                                      : std::string()) +
                         ")";
      }
      if (o.verbose) {
        std::printf("  %s: %s, %s, second run %s %s\n", CaseCommand(s, c).c_str(), pass ? "PASS" : "FAIL",
                    OutcomeName(outcome), second.result == 1 ? "PASS" : "FAIL", OutcomeName(recovered));
      }
    }
  }
  return true;
}

int Main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::vector<SetUp> setUps = AllSetUps();
  if (o.list) {
    for (const SetUp& s : setUps) std::printf("%s\n", s.name.c_str());
    return 0;
  }
  for (const std::string& name : o.setUps) {
    if (std::none_of(setUps.begin(), setUps.end(), [&](const SetUp& s) { return s.name == name; })) {
      std::fprintf(stderr, "no set-up named %s (see --list)\n", name.c_str());
      return 2;
    }
  }
  const auto started = std::chrono::steady_clock::now();
  testing::TempDir home;
  ::setenv("QUILLON_HOME", home.path().c_str(), 1);

  bool clean = true;
  std::vector<std::pair<std::string, std::map<Kind, Tally>>> table;
  for (const SetUp& s : setUps) {
    if (!o.setUps.empty() && o.setUps.count(s.name) == 0) continue;
    std::map<Kind, Tally> tallies;
    if (!SweepSetUp(s, o, home.path(), tallies)) {
      clean = false;
      continue;
    }
    table.emplace_back(s.name, std::move(tallies));
  }

  std::printf("\n%-26s %-7s %8s %8s %10s %8s %11s\n", "set-up", "fault", "runs", "PASS", "false PASS", "partial",
              "unrecovered");
  std::vector<std::string> failures;
  for (const auto& [name, tallies] : table) {
    for (const auto& [kind, t] : tallies) {
      std::printf("%-26s %-7s %8llu %8llu %10llu %8llu %11llu\n", name.c_str(), KindName(kind),
                  static_cast<unsigned long long>(t.runs), static_cast<unsigned long long>(t.passes),
                  static_cast<unsigned long long>(t.falsePass), static_cast<unsigned long long>(t.partial),
                  static_cast<unsigned long long>(t.unrecovered));
      if (!t.firstFailure.empty()) failures.push_back(t.firstFailure);
    }
  }
  for (const std::string& f : failures) std::printf("first failing case: %s\n", f.c_str());
  std::uint64_t runs = 0;
  for (const auto& [name, tallies] : table) {
    for (const auto& [kind, t] : tallies) runs += t.runs;
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
  std::printf("%llu runs with a fault in %lld s\n", static_cast<unsigned long long>(runs),
              static_cast<long long>(seconds.count()));
  return clean && failures.empty() ? 0 : 1;
}

}  // namespace
}  // namespace quillon::sweep

int main(int argc, char** argv) { return quillon::sweep::Main(argc, argv); }
