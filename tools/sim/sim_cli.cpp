#include "tools/sim/sim_cli.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>
#include <cstdio>
#include <fstream>
#include <optional>
#include <vector>

#include "platform/files.h"
#include "sim/chip_model.h"
#include "platform/sha256.h"
#include "sim/bus_time.h"
#include "sim/plug_requests.h"
#include "sim/sim_bus.h"
#include "sim/state_file.h"

namespace quillon::sim {
namespace {

constexpr const char* kUsage =
    "usage: quillon-sim new STATE [options] | show STATE | stats STATE | load STATE FILE [--chip I] | "
    "dump STATE FILE [--chip I] | fault STATE KIND [ARG] [--chip I] | plug STATE [options | --chip I] | "
    "pull STATE [--chip I] (see --help)";
constexpr const char* kHelp =
    "Usage:\n"
    "  quillon-sim new STATE [options]            make a state file of blank simulated chips\n"
    "  quillon-sim show STATE                     location, identity, mode, tag, version, memory hash, protection\n"
    "  quillon-sim stats STATE                    transfers, failures, bytes and bus time of the last run\n"
    "  quillon-sim load STATE FILE [--chip I]     program FILE into a chip's memory and power it up\n"
    "  quillon-sim dump STATE FILE [--chip I]     write a chip's memory into FILE\n"
    "  quillon-sim fault STATE KIND [ARG] [--chip I]  add a fault to a chip\n"
    "  quillon-sim plug STATE [options]           plug a new blank chip in (the chip options of new)\n"
    "  quillon-sim plug STATE --chip I            plug a pulled chip back in\n"
    "  quillon-sim pull STATE [--chip I]          pull a chip off the bus; it stays off until plugged back\n"
    "    plug and pull work while a process uses STATE: it takes them on its event poll\n"
    "  quillon-sim --help                         this text\n"
    "Options of new:\n"
    "  --memory spi|nor|eeprom8|eeprom16|otp      code memory (spi)\n"
    "  --kind audio|camera                        USB device class of the control interface (audio)\n"
    "  --transport xu|vendor|both                 command transports the chip answers (xu)\n"
    "  --ic tq7702|tq7704|tq7724                  IC family (tq7704)\n"
    "  --vid N                                    vendor id (0x3A7C)\n"
    "  --pid N                                    product id (0x0011)\n"
    "  --rev N                                    release number (0x0001)\n"
    "  --size N                                   memory size in bytes (65536; OTP is always 16384)\n"
    "  --chips N                                  number of chips, at 1-1, 1-2, ... (1)\n"
    "  --bus shared|separate                      chips on one host bus (1-1, 1-2, ...) or each on its\n"
    "                                             own (1-1, 2-1, ...); bus time adds up per bus (shared)\n"
    "  --variant N                                chip variant, low nibble of register 0xFE21 (0)\n"
    "  --serial TEXT                              serial-number string (QS and the location's digits)\n"
    "  --speed full|high                          bus speed for the bus-time figures (high)\n"
    "  --off-bus-ms N                             time off the bus after a reset (1000)\n"
    "  --not-ready-ms N                           time a chip answers not-ready after coming back (0)\n"
    "  --request6                                 answer vendor request 6 without the vendor transport\n"
    "Option of load, dump, fault, plug and pull:\n"
    "  --chip I                                   the chip, counted from 0 (0)\n"
    "Faults (KIND ARG):\n"
    "  fail-transfer N [COUNT]                    transfers N.. of the next run never reach the chip (1)\n"
    "  stall-transfer N [COUNT]                   the chip stalls transfers N.. of the next run (1)\n"
    "  power-loss N                               the chip falls off the bus at transfer N\n"
    "  unplug N                                   the cable is pulled just after transfer N\n"
    "  power-loss-pages M K                       the power fails after K pages of the M-th memory write\n"
    "  not-ready K                                the first K transfers of the next run answer not-ready\n"
    "  flaky-read N                               the N-th memory read of the next run has one corrupt byte\n"
    "  otp-fail ADDR[,ADDR...]                    OTP cells that do not program (until clear)\n"
    "  corrupt-read ADDR                          reads return that byte with bit 0 flipped (until clear)\n"
    "  slow-erase MS                              a chip erase takes MS milliseconds (until clear)\n"
    "  wp-pulled-up                               the EEPROM's write-protect line is pulled up (until clear)\n"
    "  clear                                      remove every fault\n"
    "Numbers are decimal or 0x hexadecimal. quillon uses the chips of STATE when QUILLON_SIM=STATE.\n";
constexpr std::uint32_t kMaxChips = 32;
// How long plug and pull wait for the state's holder to take the request.
constexpr auto kRequestWait = std::chrono::seconds(10);

// A failed command: the one line that says why.
struct Failure {
  std::string message;
};

struct Args {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;  // --name value
  std::vector<std::string> flags;                            // --name alone
};

bool IsFlag(const std::string& name) { return name == "--request6"; }

std::optional<Args> Split(std::span<const std::string> args, std::string& error) {
  Args out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) != 0) {
      out.positional.push_back(a);
      continue;
    }
    if (IsFlag(a)) {
      out.flags.push_back(a);
      continue;
    }
    if (i + 1 >= args.size()) {
      error = "option " + a + " needs a value";
      return std::nullopt;
    }
    out.options.emplace_back(a, args[++i]);
  }
  return out;
}

std::uint32_t Number(const std::string& name, const std::string& text, std::uint32_t max) {
  auto value = ParseNumber(text);
  if (!value || *value > max) throw Failure{"bad value for " + name + ": " + text};
  return *value;
}

std::size_t ChipIndex(const Args& args, std::size_t count) {
  std::size_t index = 0;
  for (const auto& [name, value] : args.options) {
    if (name != "--chip") throw Failure{"unknown option " + name};
    index = Number(name, value, kMaxChips);
  }
  if (index >= count) throw Failure{"no chip " + std::to_string(index) + " in the state"};
  return index;
}

std::vector<ChipState> Load(const std::string& file) {
  std::vector<ChipState> chips;
  std::string error;
  if (!LoadStateFile(file, chips, error)) throw Failure{error};
  return chips;
}

void Save(const std::string& file, const std::vector<ChipState>& chips) {
  std::string error;
  if (!SaveStateFile(file, chips, error)) throw Failure{error};
}

void RequirePositional(const Args& args, std::size_t count) {
  if (args.positional.size() != count) throw Failure{kUsage};
}

// One chip option of new (and plug); false when `name` is not one.
bool ChipOption(const std::string& name, const std::string& value, ChipConfig& config, bool& sizeGiven) {
  if (name == "--memory") {
    auto v = ParseMemory(value);
    if (!v) throw Failure{"bad memory " + value + " (spi, nor, eeprom8, eeprom16, otp)"};
    config.memory = *v;
  } else if (name == "--kind") {
    auto v = ParseKind(value);
    if (!v) throw Failure{"bad kind " + value + " (audio, camera)"};
    config.kind = *v;
  } else if (name == "--transport") {
    auto v = ParseTransport(value);
    if (!v) throw Failure{"bad transport " + value + " (xu, vendor, both)"};
    config.transport = *v;
  } else if (name == "--ic") {
    auto v = ParseIcFamily(value);
    if (!v) throw Failure{"bad ic " + value + " (tq7702, tq7704, tq7724)"};
    config.ic = *v;
  } else if (name == "--speed") {
    auto v = ParseSpeed(value);
    if (!v) throw Failure{"bad speed " + value + " (full, high)"};
    config.speed = *v;
  } else if (name == "--vid") {
    config.vendorId = static_cast<std::uint16_t>(Number(name, value, 0xFFFF));
  } else if (name == "--pid") {
    config.productId = static_cast<std::uint16_t>(Number(name, value, 0xFFFF));
  } else if (name == "--rev") {
    config.bcdDevice = static_cast<std::uint16_t>(Number(name, value, 0xFFFF));
  } else if (name == "--size") {
    config.memorySize = Number(name, value, kMaxMemorySize);
    if (config.memorySize == 0) throw Failure{"bad value for --size: 0"};
    sizeGiven = true;
  } else if (name == "--variant") {
    config.variant = static_cast<std::uint8_t>(Number(name, value, 0x0F));
  } else if (name == "--serial") {
    // Printable single-byte text: it goes into a string descriptor and a line of the state file.
    if (value.size() > 126 || std::any_of(value.begin(), value.end(), [](char c) { return c < 0x20 || c > 0x7E; })) {
      throw Failure{"bad serial " + value};
    }
    config.serial = value;
  } else if (name == "--off-bus-ms") {
    config.offBusMs = Number(name, value, 600000);
  } else if (name == "--not-ready-ms") {
    config.notReadyMs = Number(name, value, 600000);
  } else {
    return false;
  }
  return true;
}

// The flags of new and plug, and the check of the options taken together.
void FinishChipConfig(const Args& args, ChipConfig& config, bool sizeGiven) {
  for (const std::string& flag : args.flags) {
    if (flag == "--request6") config.request6 = true;
  }
  if (config.memory == MemoryKind::kOtp && sizeGiven && config.memorySize != kOtpSize) {
    throw Failure{"OTP memory is always 16384 bytes"};
  }
}

void CommandNew(const Args& args) {
  RequirePositional(args, 1);
  ChipConfig config;
  std::uint32_t chips = 1;
  bool sizeGiven = false;
  bool separateBuses = false;
  for (const auto& [name, value] : args.options) {
    if (name == "--chips") {
      chips = Number(name, value, kMaxChips);
      if (chips == 0) throw Failure{"bad value for --chips: 0"};
    } else if (name == "--bus") {
      if (value != "shared" && value != "separate") throw Failure{"bad bus " + value + " (shared, separate)"};
      separateBuses = value == "separate";
    } else if (!ChipOption(name, value, config, sizeGiven)) {
      throw Failure{"unknown option " + name};
    }
  }
  FinishChipConfig(args, config, sizeGiven);
  SimBus bus;
  for (std::uint32_t i = 0; i < chips; ++i) {
    SimChip& chip = bus.AddChip(config);
    if (separateBuses) chip.state().location = std::to_string(i + 1) + "-1";
  }
  StateFileLock lock(args.positional[0]);
  if (!lock.held()) throw Failure{"state " + args.positional[0] + " is in use"};
  Save(args.positional[0], bus.EndRun());
}

void CommandShow(const Args& args, std::ostream& out) {
  RequirePositional(args, 1);
  if (!args.options.empty() || !args.flags.empty()) throw Failure{kUsage};
  const auto chips = Load(args.positional[0]);
  for (std::size_t i = 0; i < chips.size(); ++i) {
    const ChipState& chip = chips[i];
    char identity[40];
    std::snprintf(identity, sizeof identity, "VID_%04X&PID_%04X&REV_%04X", chip.config.vendorId,
                  chip.config.productId, chip.config.bcdDevice);
    auto version = RunningVersion(chip);
    if (i > 0) out << '\n';
    out << "location: " << chip.location << '\n'
        << "identity: " << identity << '\n'
        << "mode: " << (chip.mode == RunMode::kLoader ? "rom" : "code") << '\n'
        << "tagged: " << (IsTagged(chip) ? "yes" : "no") << '\n'
        << "version: " << (version ? VersionText(*version) : "N/A") << '\n'
        << "memory: " << Sha256Hex(chip.memory.bytes()) << '\n'
        << "protected: " << (IsProtected(chip) ? "yes" : "no") << '\n';
    if (chip.pulled) out << "plugged: no\n";
    if (chip.config.memory == MemoryKind::kOtp) {
      // The code block the chip starts and the configuration block it starts
      // with, so that new code with an old configuration shows.
      const auto line = [&](const char* name, const std::optional<OtpBoot>& block) {
        out << name << ": ";
        if (!block) {
          out << "none\n";
          return;
        }
        char where[64];
        std::snprintf(where, sizeof where, "entry %d at 0x%04X, %u bytes, ", block->entry, unsigned{block->start},
                      unsigned{block->length});
        out << where << Sha256Hex(block->bytes) << '\n';
      };
      line("otp-boot", OtpBootBlock(chip));
      line("otp-config", OtpConfigBlock(chip));
    }
  }
}

void CommandStats(const Args& args, std::ostream& out) {
  RequirePositional(args, 1);
  const auto chips = Load(args.positional[0]);
  for (std::size_t i = 0; i < chips.size(); ++i) {
    const RunStats& run = chips[i].lastRun;
    if (i > 0) out << '\n';
    out << "location: " << chips[i].location << '\n'
        << "transfers: " << run.transfers << '\n'
        << "failed: " << run.failed << '\n'
        << "bytes: " << run.bytes << '\n'
        << "bus-time-us: " << run.BusTimeUs() << '\n'
        << "bus-latency-us: " << run.latencyUs << '\n'
        << "bus-occupancy-us: " << NsToUs(run.occupancyNs) << '\n';
  }
  if (chips.size() > 1) out << "\nbus-time-us of the slowest bus: " << SlowestBusTimeUs(chips) << '\n';
}

void CommandLoad(const Args& args) {
  RequirePositional(args, 2);
  const std::string& state = args.positional[0];
  StateFileLock lock(state);
  if (!lock.held()) throw Failure{"state " + state + " is in use"};
  auto chips = Load(state);
  ChipState& chip = chips[ChipIndex(args, chips.size())];
  auto bytes = ReadWholeFile(args.positional[1]);
  if (!bytes) throw Failure{"cannot read " + args.positional[1]};
  if (!chip.memory.Load(*bytes)) {
    throw Failure{args.positional[1] + " is larger than the chip's memory (" + std::to_string(chip.memory.size()) +
                  " bytes)"};
  }
  // Programmed off the board, then powered up: the loader starts by its rule.
  SimChip powered(std::move(chip));
  powered.PowerUp();
  chip = powered.state();
  Save(state, chips);
}

void CommandDump(const Args& args) {
  RequirePositional(args, 2);
  const auto chips = Load(args.positional[0]);
  const ChipState& chip = chips[ChipIndex(args, chips.size())];
  std::ofstream file(args.positional[1], std::ios::binary | std::ios::trunc);
  const auto bytes = chip.memory.bytes();
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) throw Failure{"cannot write " + args.positional[1]};
}

void CommandFault(const Args& args) {
  if (args.positional.size() < 2) throw Failure{kUsage};
  const std::string& state = args.positional[0];
  const std::string& kind = args.positional[1];
  const std::vector<std::string> values(args.positional.begin() + 2, args.positional.end());
  StateFileLock lock(state);
  if (!lock.held()) throw Failure{"state " + state + " is in use"};
  auto chips = Load(state);
  Faults& faults = chips[ChipIndex(args, chips.size())].faults;
  auto expect = [&](std::size_t least, std::size_t most) {
    if (values.size() < least || values.size() > most) throw Failure{"wrong arguments for fault " + kind};
  };
  auto transfer = [&](TransferFaultKind faultKind, bool withCount) {
    expect(1, withCount ? 2 : 1);
    const std::uint32_t first = Number("N", values[0], 0xFFFFFFFF);
    const std::uint32_t count = values.size() > 1 ? Number("COUNT", values[1], 0xFFFFFFFF) : 1;
    if (first == 0 || count == 0) throw Failure{"transfers are counted from 1"};
    faults.transfers.push_back({faultKind, first, count});
  };
  if (kind == "fail-transfer") {
    transfer(TransferFaultKind::kFail, true);
  } else if (kind == "stall-transfer") {
    transfer(TransferFaultKind::kStall, true);
  } else if (kind == "power-loss") {
    transfer(TransferFaultKind::kPowerLoss, false);
  } else if (kind == "unplug") {
    transfer(TransferFaultKind::kUnplug, false);
  } else if (kind == "power-loss-pages") {
    expect(2, 2);
    const std::uint32_t program = Number("M", values[0], 0xFFFFFFFF);
    if (program == 0) throw Failure{"memory writes are counted from 1"};
    faults.pageLoss.push_back({program, Number("K", values[1], 0xFFFFFFFF)});
  } else if (kind == "not-ready") {
    expect(1, 1);
    faults.notReady += Number("K", values[0], 0xFFFFFFFF);
  } else if (kind == "flaky-read") {
    expect(1, 1);
    faults.flakyRead = Number("N", values[0], 0xFFFFFFFF);
    if (faults.flakyRead == 0) throw Failure{"memory reads are counted from 1"};
  } else if (kind == "otp-fail") {
    expect(1, 1);
    std::string_view list = values[0];
    while (!list.empty()) {
      const std::size_t comma = list.find(',');
      const std::string item(list.substr(0, comma));
      faults.otpFail.push_back(static_cast<std::uint16_t>(Number("ADDR", item, kOtpSize - 1)));
      list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    }
  } else if (kind == "corrupt-read") {
    expect(1, 1);
    faults.corruptRead.push_back(Number("ADDR", values[0], 0xFFFFFFFF));
  } else if (kind == "slow-erase") {
    expect(1, 1);
    faults.slowEraseMs = Number("MS", values[0], 600000);
  } else if (kind == "otp-report-fail") {
    expect(0, 1);
    faults.otpReportFail = values.empty() ? 1 : Number("N", values[0], 0xFFFFFFFF);
    if (faults.otpReportFail == 0) throw Failure{"report reads are counted from 1"};
  } else if (kind == "otp-lock") {
    expect(0, 0);
    chips[ChipIndex(args, chips.size())].otpLock |= kOtpLockBit;
  } else if (kind == "wp-pulled-up") {
    expect(0, 0);
    faults.wpPulledUp = true;
  } else if (kind == "clear") {
    expect(0, 0);
    faults = {};
  } else {
    throw Failure{"unknown fault " + kind};
  }
  Save(state, chips);
}

// Hands `request` to the process holding the state, or carries it out when
// none does; waits until one of the two has happened.
void Submit(const std::string& state, const PlugRequest& request) {
  if (!std::filesystem::exists(state)) throw Failure{"no state " + state};
  std::string error;
  const std::filesystem::path queued = QueueRequest(state, request, error);
  if (queued.empty()) throw Failure{error};
  const auto deadline = std::chrono::steady_clock::now() + kRequestWait;
  for (;;) {
    if (RequestTaken(queued)) return;
    StateFileLock lock(state, 0);
    if (lock.held()) {
      auto chips = Load(state);
      std::string failed;
      for (const PlugRequest& taken : TakeRequests(state)) {
        std::string why;
        if (!ApplyRequest(chips, taken, why)) failed = why;
      }
      Save(state, chips);
      if (!failed.empty()) throw Failure{failed};
      return;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      if (WithdrawRequest(queued)) throw Failure{"state " + state + " is in use and its holder took no request"};
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void CommandPlug(const Args& args) {
  RequirePositional(args, 1);
  PlugRequest request;
  bool sizeGiven = false;
  for (const auto& [name, value] : args.options) {
    if (name == "--chip" && args.options.size() == 1 && args.flags.empty()) {
      request.kind = PlugRequest::Kind::kReplug;
      request.chip = Number(name, value, kMaxChips);
    } else if (name == "--chip" || !ChipOption(name, value, request.config, sizeGiven)) {
      throw Failure{name == "--chip" ? "--chip goes alone: it plugs a pulled chip back" : "unknown option " + name};
    }
  }
  FinishChipConfig(args, request.config, sizeGiven);
  Submit(args.positional[0], request);
}

void CommandPull(const Args& args) {
  RequirePositional(args, 1);
  if (!args.flags.empty()) throw Failure{kUsage};
  PlugRequest request;
  request.kind = PlugRequest::Kind::kPull;
  for (const auto& [name, value] : args.options) {
    if (name != "--chip") throw Failure{"unknown option " + name};
    request.chip = Number(name, value, kMaxChips);
  }
  Submit(args.positional[0], request);
}

}  // namespace

int RunSimCli(std::span<const std::string> argv, std::ostream& out, std::ostream& err) {
  try {
    if (argv.empty()) throw Failure{kUsage};
    if (argv[0] == "--help" || argv[0] == "-h" || argv[0] == "help") {
      out << kHelp;
      return 0;
    }
    std::string error;
    auto args = Split(argv.subspan(1), error);
    if (!args) throw Failure{error};
    const std::string& command = argv[0];
    if (command == "new") {
      CommandNew(*args);
    } else if (command == "show") {
      CommandShow(*args, out);
    } else if (command == "stats") {
      CommandStats(*args, out);
    } else if (command == "load") {
      CommandLoad(*args);
    } else if (command == "dump") {
      CommandDump(*args);
    } else if (command == "fault") {
      CommandFault(*args);
    } else if (command == "plug") {
      CommandPlug(*args);
    } else if (command == "pull") {
      CommandPull(*args);
    } else {
      throw Failure{kUsage};
    }
    return 0;
  } catch (const Failure& failure) {
    err << "quillon-sim: " << failure.message << '\n';
    return 1;
  }
}

}  // namespace quillon::sim
