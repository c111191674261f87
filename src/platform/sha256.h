// SHA-256 of a byte string, as lowercase hex (memory and image fingerprints).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quillon {

std::string Sha256Hex(std::span<const std::uint8_t> data);

}  // namespace quillon
