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
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "flow/status.h"
#include "sim/chip_model.h"
#include "support/temp_dir.h"
#include "sweep/command_line_run.h"
#include "sweep/sweep_cases.h"
#include "sweep/sweep_harness.h"
#include "sweep/sweep_setups.h"

namespace quillon::sweep {
namespace {

enum class Outcome { kNew, kOld, kLoader, kPartial };

struct Expect {
  std::vector<std::uint8_t> oldMemory, newMemory;
  sim::RunMode oldMode, newMode;
};

bool SameMemory(std::span<const std::uint8_t> have, const std::vector<std::uint8_t>& want) {
  return std::equal(have.begin(), have.end(), want.begin(), want.end());
}

// OTP keeps every image it was given: what counts is the code block the chip
// boots and the configuration block it starts with.
std::vector<std::uint8_t> BootedOtp(std::span<const std::uint8_t> memory, const sim::ChipState& like) {
  sim::ChipState chip = like;
  chip.memory.Load(memory);
  const auto boot = sim::OtpBootBlock(chip);
  std::vector<std::uint8_t> out = boot ? boot->bytes : std::vector<std::uint8_t>{};
  if (const auto config = sim::OtpConfigBlock(chip)) {
    out.push_back(0xAA);
    out.insert(out.end(), config->bytes.begin(), config->bytes.end());
  }
  return out;
}

bool SameImage(const sim::ChipState& chip, const std::vector<std::uint8_t>& want) {
  if (chip.config.memory != sim::MemoryKind::kOtp) return SameMemory(chip.memory.bytes(), want);
  return BootedOtp(chip.memory.bytes(), chip) == BootedOtp(want, chip);
}

Outcome Classify(const sim::ChipState& chip, const Expect& e) {
  if (chip.mode == e.newMode && SameImage(chip, e.newMemory)) return Outcome::kNew;
  if (chip.mode == e.oldMode && SameImage(chip, e.oldMemory)) return Outcome::kOld;
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

// Where a partial chip parts from the new image, for the one looking into it.
void PrintDifference(const sim::ChipState& chip, const Expect& e) {
  const auto have = chip.memory.bytes();
  const auto at = std::mismatch(have.begin(), have.end(), e.newMemory.begin(), e.newMemory.end());
  std::printf("    mode %d (new image: %d), first difference from the new image at 0x%zX of 0x%zX\n",
              static_cast<int>(chip.mode), static_cast<int>(e.newMode), static_cast<std::size_t>(at.first - have.begin()),
              have.size());
}

// What one set-up and fault kind came to.
struct Tally {
  std::uint64_t runs = 0, passes = 0, falsePass = 0, partial = 0, unrecovered = 0, misreported = 0;
  // Runs that did not end as the run without a fault under one transient
  // fault; runs whose records disagree with their exit code or each other.
  std::uint64_t lost = 0, records = 0;
  // The status ids the failed runs ended with, and how many ended with each.
  std::map<std::uint32_t, std::uint64_t> causes;
  std::string firstFailure;
  std::string firstInWindow;
};

// "41533x12,41704x3": each status id failed runs ended with, and how often; "-" when none failed.
std::string CausesText(const std::map<std::uint32_t, std::uint64_t>& causes) {
  std::string text;
  for (const auto& [status, n] : causes) {
    if (!text.empty()) text += ',';
    text += std::to_string(status) + 'x' + std::to_string(n);
  }
  return text.empty() ? "-" : text;
}

bool WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// Returns false when the set-up itself does not work (no fault yet).
bool SweepSetUp(const SetUp& s, const Options& o, const std::filesystem::path& home, std::map<Kind, Tally>& tallies) {
  const auto RunOperation = o.commandLine ? &RunCommandLine : &sweep::RunOperation;
  auto first = FirstChips(s);
  if (!first) return false;
  std::vector<sim::ChipState> start = std::move(*first);

  Operation op{s.letter, (home / "image.rfw").string(), FlowMemoryOf(s.chip.memory), s.norProfile};
  op.settings = s.settings;
  op.serial = s.serial;
  Operation again = op;
  if (!s.file.empty() && !WriteFile(op.file, s.file)) return false;
  if (s.downloadedBefore) {
    Operation before = op;
    before.letter = 'W';
    before.file = (home / "old.rfw").string();
    if (!WriteFile(before.file, s.onChip)) return false;
    const RunResult first = RunOperation(before, start, home, false);
    if (first.result != 1) {
      std::printf("%s: the first download gave %d\n", s.name.c_str(), first.result);
      return false;
    }
    start = PowerCycled(first.chips);
  }
  if (s.preservedRecord) {
    op.recordCopy = Operation::RecordCopy::kDrop;
    again.recordCopy = Operation::RecordCopy::kRestore;
  }
  if (s.passNeverRight) {
    again.file = (home / "right.rfw").string();
    if (!WriteFile(again.file, s.onChip)) return false;
  }

  const RunResult ref = RunOperation(op, start, home, true);
  const std::vector<sim::ChipState> refEnd = PowerCycled(ref.chips);
  if ((ref.result == 1) == s.passNeverRight || !ref.recordsProblem.empty()) {
    std::printf("%s: the run without a fault gave %d (status %u) %s\n", s.name.c_str(), ref.result, ref.status,
                ref.recordsProblem.c_str());
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
  auto recover = [&](std::vector<sim::ChipState> chips) {
    // A refused report read is a defect that stays until cleared: the second
    // run is the unit's once it is gone.
    chips[0].faults.otpReportFail = 0;
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
      if (!pass) ++t.causes[run.status];
      t.falsePass += falsePass;
      t.partial += partial;
      t.unrecovered += unrecovered;
      const bool inWindow = partial && s.updateWindow;
      if (inWindow && t.firstInWindow.empty()) t.firstInWindow = CaseCommand(s, c, o.commandLine);
      // A verdict the run without the fault did not give would, under a fault
      // of the link, bin a good unit or reject a good image.
      const bool misreported = !pass && IsVerdictId(run.status) && run.status != ref.status;
      t.misreported += misreported;
      const bool lost = IsTransient(kind) && (run.result != ref.result || run.status != ref.status);
      t.lost += lost;
      t.records += !run.recordsProblem.empty();
      if ((falsePass || (partial && !inWindow) || unrecovered || misreported || lost || !run.recordsProblem.empty()) &&
          t.firstFailure.empty()) {
        t.firstFailure = CaseCommand(s, c, o.commandLine) + "   (" + (pass ? "PASS, " : "FAIL, ") +
                         (lost ? "lost, status " + std::to_string(run.status) + ", " : std::string()) +
                         (run.recordsProblem.empty() ? std::string() : "records: " + run.recordsProblem + ", ") +
                         (misreported ? "status " + std::to_string(run.status) + ", " : std::string()) +
                         OutcomeName(outcome) +
                         (unrecovered ? ", second run " + std::string(second.result == 1 ? "PASS, " : "FAIL, ") +
                                            OutcomeName(recovered)
                                      : std::string()) +
                         ")";
      }
      if (o.verbose) {
        std::printf("  [%s] %s: %s (status %u), %s, second run %s %s\n",
                    c.index >= 1 && c.index <= ref.commands.size() ? ref.commands[c.index - 1].c_str() : "?",
                    CaseCommand(s, c, o.commandLine).c_str(), pass ? "PASS" : "FAIL", run.status,
                    OutcomeName(outcome), second.result == 1 ? "PASS" : "FAIL", OutcomeName(recovered));
        if (partial) PrintDifference(after[0], expect);
      }
    }
  }
  return true;
}

int Main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (o.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::vector<SetUp> setUps = AllSetUps();
  if (!o.commandLine) std::erase_if(setUps, [](const SetUp& s) { return s.commandLineOnly; });
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
  // The flows' own console lines would drown the figures.
  if (!o.verbose && std::freopen("/dev/null", "w", stderr) == nullptr) {
    std::printf("stderr could not be silenced; the flows' lines follow\n");
  }
  const auto started = std::chrono::steady_clock::now();
  // The batch mode keeps its history and records durably: on a memory file
  // system the thousands of runs spend no time waiting for the disk.
  std::error_code noShm;
  if (o.commandLine && std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory("/dev/shm", noShm)) {
    ::setenv("TMPDIR", "/dev/shm", 1);
  }
  testing::TempDir home;

  bool clean = true;
  std::vector<std::pair<std::string, std::map<Kind, Tally>>> table;
  for (const SetUp& s : setUps) {
    if (!o.setUps.empty() && o.setUps.count(s.name) == 0) continue;
    std::map<Kind, Tally> tallies;
    // Each set-up its own station directory: a profile, a preserved-record
    // copy or a history left by one set-up must not steer the next.
    const std::filesystem::path station = home.path() / s.name;
    std::error_code made;
    std::filesystem::create_directories(station, made);
    ::setenv("QUILLON_HOME", station.c_str(), 1);
    if (made || !SweepSetUp(s, o, station, tallies)) {
      clean = false;
      continue;
    }
    // Each set-up's figures as soon as it is done, for long runs cut short.
    for (const auto& [kind, t] : tallies) {
      std::printf("= %s %s: %llu runs, %llu PASS, %llu false PASS, %llu partial, %llu unrecovered, %llu misreported, "
                  "%llu lost, %llu records wrong\n",
                  s.name.c_str(), KindName(kind), static_cast<unsigned long long>(t.runs),
                  static_cast<unsigned long long>(t.passes), static_cast<unsigned long long>(t.falsePass),
                  static_cast<unsigned long long>(t.partial), static_cast<unsigned long long>(t.unrecovered),
                  static_cast<unsigned long long>(t.misreported), static_cast<unsigned long long>(t.lost),
                  static_cast<unsigned long long>(t.records));
    }
    std::fflush(stdout);
    table.emplace_back(s.name + (s.open ? " (open)" : s.updateWindow ? " (window)" : ""), std::move(tallies));
  }

  std::printf("\n%-26s %-7s %8s %8s %10s %8s %11s %11s %6s %7s  %s\n", "set-up", "fault", "runs", "PASS", "false PASS",
              "partial", "unrecovered", "misreported", "lost", "records", "causes");
  std::vector<std::string> failures, open, window;
  for (const auto& [name, tallies] : table) {
    for (const auto& [kind, t] : tallies) {
      std::printf("%-26s %-7s %8llu %8llu %10llu %8llu %11llu %11llu %6llu %7llu  %s\n", name.c_str(), KindName(kind),
                  static_cast<unsigned long long>(t.runs), static_cast<unsigned long long>(t.passes),
                  static_cast<unsigned long long>(t.falsePass), static_cast<unsigned long long>(t.partial),
                  static_cast<unsigned long long>(t.unrecovered), static_cast<unsigned long long>(t.misreported),
                  static_cast<unsigned long long>(t.lost), static_cast<unsigned long long>(t.records),
                  CausesText(t.causes).c_str());
      if (!t.firstFailure.empty()) (name.ends_with("(open)") ? open : failures).push_back(t.firstFailure);
      if (!t.firstInWindow.empty()) window.push_back(t.firstInWindow);
    }
  }
  for (const std::string& f : failures) std::printf("first failing case: %s\n", f.c_str());
  for (const std::string& f : open) std::printf("first failing case (open): %s\n", f.c_str());
  for (const std::string& f : window) std::printf("first partial start in the update window: %s\n", f.c_str());
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
