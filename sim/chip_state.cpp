#include "sim/chip_state.h"

namespace quillon::sim {

ChipState::ChipState(ChipConfig cfg, std::string where)
    : config(std::move(cfg)), location(std::move(where)), memory(config.memory, config.EffectiveSize()) {}

}  // namespace quillon::sim
