#include "device/link_failure.h"

#include <utility>

#include "device/result.h"

namespace quillon {
namespace {

std::optional<LinkFailure>& Pending() {
  thread_local std::optional<LinkFailure> pending;
  return pending;
}

}  // namespace

bool IsLinkResult(std::uint32_t result) {
  return result == kResultFail || ((result & 0xFFFF0000u) == 0x80070000u && result != kResultInvalidArgument);
}

void NoteLinkFailure(std::string operation, std::uint32_t address, std::uint32_t result) {
  // The first one is the cause; what fails after it (the protection put back
  // on the same broken link) only follows from it.
  if (IsLinkResult(result) && !Pending()) Pending() = LinkFailure{std::move(operation), address, result};
}

std::optional<LinkFailure> PendingLinkFailure() { return Pending(); }

std::optional<LinkFailure> TakeLinkFailure() { return std::exchange(Pending(), std::nullopt); }

void RestoreLinkFailure(std::optional<LinkFailure> failure) { Pending() = std::move(failure); }

}  // namespace quillon
