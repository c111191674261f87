// SHA-256 of a byte string, as lowercase hex (quillon-sim shows the memory by it).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quillon::sim {

std::string Sha256Hex(std::span<const std::uint8_t> data);

}  // namespace quillon::sim
