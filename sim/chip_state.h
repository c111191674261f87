// Everything about one chip that outlives a process: what it is, what its
// memory holds, where it is, and the faults armed for the next run.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/chip_config.h"
#include "sim/memory.h"

namespace quillon::sim {

// Where the chip is; the numbers are those register 0xC2A8 reads.
enum class RunMode : std::uint8_t {
  kLoader = 0,      // waiting in its ROM loader
  kCode = 8,        // running code from its external memory
  kOtpCode = 16,    // running code from OTP
  kRomConfig = 32,  // ROM code with a configuration area at flash offset 0
};

// kUnplug: the transfer goes through, then the cable is pulled.
enum class TransferFaultKind : std::uint8_t { kFail, kStall, kPowerLoss, kUnplug };

// Fails transfers first .. first + count - 1 (counted from 1 in the run).
struct TransferFault {
  TransferFaultKind kind = TransferFaultKind::kFail;
  std::uint32_t first = 1;
  std::uint32_t count = 1;
};

// The power fails while flash write command `program` (counted from 1 in the
// run) is being programmed, after its first `pages` pages.
struct PageLossFault {
  std::uint32_t program = 1;
  std::uint32_t pages = 0;
};

struct Faults {
  // Armed for the next run only.
  std::vector<TransferFault> transfers;
  std::vector<PageLossFault> pageLoss;
  std::uint32_t notReady = 0;  // answer "not ready" to this many transfers
  std::uint32_t flakyRead = 0;  // this memory read of the run (counted from 1) returns one corrupt byte
  // Defects of the part, kept until cleared.
  std::vector<std::uint16_t> otpFail;     // OTP cells that do not program
  std::vector<std::uint32_t> corruptRead;  // memory addresses that read back wrong
  std::uint32_t slowEraseMs = 0;          // a chip erase takes this long
  std::uint32_t otpReportFail = 0;        // program-fail report reads from this one on (counted from 1) stall
  bool wpPulledUp = false;                // the EEPROM's write-protect line has a pull-up

  // The faults armed for a run, spent when the run ends.
  void SpendRunFaults() {
    transfers.clear();
    pageLoss.clear();
    notReady = 0;
    flakyRead = 0;
  }

  bool empty() const {
    return transfers.empty() && pageLoss.empty() && notReady == 0 && flakyRead == 0 && otpFail.empty() && corruptRead.empty() &&
           slowEraseMs == 0 && otpReportFail == 0 && !wpPulledUp;
  }
};

// Counted transfers of a run, and their time on the bus (sim/bus_time.h).
struct RunStats {
  std::uint64_t transfers = 0;
  std::uint64_t bytes = 0;
  std::uint64_t failed = 0;
  std::uint64_t latencyUs = 0;    // waits for (micro)frames; overlap with other chips'
  std::uint64_t occupancyNs = 0;  // the wire carrying the packets; shared by a bus's chips
  // Memory read commands and program-fail report reads the chip answered or
  // refused: what the flaky-read and otp-report-fail faults count.
  std::uint64_t memoryReads = 0;
  std::uint64_t otpReportReads = 0;
  // The run's time with the chip alone on its bus.
  std::uint64_t BusTimeUs() const { return latencyUs + (occupancyNs + 999) / 1000; }
};

// The fields of a chip that a transfer can change and the next run sees,
// besides its memory.
struct ChipFields {
  std::uint32_t generation = 1;
  std::uint8_t statusRegister = 0;
  bool norTagged = false;
  std::uint8_t otpLock = 0;
  RunMode mode = RunMode::kLoader;
  std::uint16_t dataControlSize = 8;
  std::map<std::uint16_t, std::uint8_t> registers;
  bool powerLost = false;
  bool resetPending = false;

  bool operator==(const ChipFields&) const = default;
};

// The mode register 0xC2A8 reads for `value`, if it is one.
std::optional<RunMode> RunModeOf(std::uint32_t value);

struct ChipState {
  ChipState(ChipConfig config, std::string location);

  ChipConfig config;
  std::string location;
  std::uint32_t generation = 1;  // part of the instance name; grows with every re-enumeration
  ChipMemory memory;
  std::uint8_t statusRegister = 0;  // SPI flash status register (non-volatile bits)
  bool norTagged = false;           // the NOR flash's tag flag
  std::uint8_t otpLock = 0;         // register 0xFD0C; bit 3 locks OTP programming for good
  RunMode mode = RunMode::kLoader;
  std::uint16_t dataControlSize = 8;
  std::map<std::uint16_t, std::uint8_t> registers;  // chip registers written since power-up
  bool powerLost = false;    // fell off the bus; powers up again in the next run
  bool resetPending = false;  // off the bus after a reset; back in the next run at the latest
  bool pulled = false;        // unplugged from the station: off the bus until plugged back
  Faults faults;
  RunStats lastRun;
  std::uint32_t journalSequence = 0;  // the last journal record already in this state

  ChipFields Fields() const;
  void SetFields(const ChipFields& fields);

  std::string InstanceName() const { return location + "/" + std::to_string(generation); }
};

}  // namespace quillon::sim
