// The first device operation whose transfer failed, kept (per thread) until
// something absorbs it: a retry that then succeeded, or the start of the next
// step. A run that fails while one is pending names the link as its cause
// instead of a verdict drawn from bytes it never got.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillon {

struct LinkFailure {
  std::string operation;   // the device operation ("ReadMem", "vendor request 0x2E")
  std::uint32_t address = 0;
  std::uint32_t result = 0;  // the device result; its low 16 bits are the USB error
};

// True for a device result that stands for a failed transfer (a USB error),
// not for a refusal of this layer (bad argument, lock not taken, not carried).
bool IsLinkResult(std::uint32_t result);

// Keeps the failure as the pending one when `result` is a link result and
// none is pending yet.
void NoteLinkFailure(std::string operation, std::uint32_t address, std::uint32_t result);
std::optional<LinkFailure> PendingLinkFailure();
// Clears the pending failure and returns it.
std::optional<LinkFailure> TakeLinkFailure();
// Puts back what was pending before an attempt that has since succeeded.
void RestoreLinkFailure(std::optional<LinkFailure> failure);

}  // namespace quillon
