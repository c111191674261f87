#include "platform/resources.h"

namespace quillon {

std::optional<std::span<const std::uint8_t>> FindResource(int number, std::string_view type) {
  for (const ResourceEntry& entry : ResourceTable()) {
    if (entry.number == number && type == entry.type) {
      return std::span<const std::uint8_t>(entry.data, entry.size);
    }
  }
  return std::nullopt;
}

std::optional<std::string_view> FindTextResource(int number, std::string_view type) {
  auto bytes = FindResource(number, type);
  if (!bytes) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

}  // namespace quillon
