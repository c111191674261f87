// Numbered resources compiled into the program (INI texts and images). The
// table comes from the one resource library the program links
// (cmake/Resources.cmake).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quillon {

struct ResourceEntry {
  int number;
  const char* type;  // "ICINI" or "BINARY"
  const unsigned char* data;
  std::size_t size;
};

// Defined by the generated resource library.
std::span<const ResourceEntry> ResourceTable();

// The bytes of resource `number` of `type`, or nothing when there is none.
std::optional<std::span<const std::uint8_t>> FindResource(int number, std::string_view type);

// Text resources as a string view (same lookup).
std::optional<std::string_view> FindTextResource(int number, std::string_view type = "ICINI");

}  // namespace quillon
