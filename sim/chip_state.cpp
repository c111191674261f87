#include "sim/chip_state.h"

namespace quillon::sim {

ChipState::ChipState(ChipConfig cfg, std::string where)
    : config(std::move(cfg)), location(std::move(where)), memory(config.memory, config.EffectiveSize()) {}

ChipFields ChipState::Fields() const {
  return {generation, statusRegister, norTagged, otpLock, mode, dataControlSize, registers, powerLost, resetPending};
}

void ChipState::SetFields(const ChipFields& f) {
  generation = f.generation;
  statusRegister = f.statusRegister;
  norTagged = f.norTagged;
  otpLock = f.otpLock;
  mode = f.mode;
  dataControlSize = f.dataControlSize;
  registers = f.registers;
  powerLost = f.powerLost;
  resetPending = f.resetPending;
}

std::optional<RunMode> RunModeOf(std::uint32_t value) {
  switch (value) {
    case 0: return RunMode::kLoader;
    case 8: return RunMode::kCode;
    case 16: return RunMode::kOtpCode;
    case 32: return RunMode::kRomConfig;
    default: return std::nullopt;
  }
}

}  // namespace quillon::sim
