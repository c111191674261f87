// The extension unit's transport primitives: the command block, the status
// answer, the data pieces and the data-control size.
#include "device/ext_unit.h"

#include <algorithm>

#include "device/sync_operate.h"
#include "platform/debug_channel.h"
#include "proxy/transfers.h"

namespace quillon {
namespace {

// Moves a whole buffer in pieces of `piece` bytes: whole pieces straight
// through `whole`, a final partial piece through `last`; `done` counts the
// bytes of the pieces that went through.
template <class Span, class Whole, class Last>
std::uint32_t InPieces(Span buffer, std::uint32_t piece, std::uint32_t& done, ProgressFn progress, void* user,
                       Whole&& whole, Last&& last) {
  done = 0;
  if (buffer.size() > kMaxCommandLength) return kResultInvalidArgument;
  const auto length = static_cast<std::uint32_t>(buffer.size());
  while (length - done >= piece) {
    std::uint32_t result = whole(buffer.subspan(done, piece));
    if (result != kResultOk) return result;
    done += piece;
    if (progress != nullptr) progress(user, piece);
  }
  const std::uint32_t rest = length - done;
  if (rest == 0) return kResultOk;
  std::uint32_t result = last(buffer.subspan(done, rest));
  if (result != kResultOk) return result;
  done += rest;
  if (progress != nullptr) progress(user, rest);
  return kResultOk;
}

}  // namespace

CExtUnit::CExtUnit(UsbHandle device, std::uint8_t interfaceNumber, std::uint8_t unitId, CrossProcessLock& lock,
                   std::uint32_t lockWaitMs)
    : CExtUnitBase(unitId, lock, lockWaitMs), device_(device), interfaceNumber_(interfaceNumber) {}

std::uint32_t CExtUnit::SetCmd(const CommandBlock& block, std::optional<std::uint16_t> p1,
                               std::optional<std::uint16_t> p2, std::optional<std::uint16_t> p3) {
  CommandBlock out = BuildCommandBlock(block, p1, p2, p3);
  UrbResult urb = UvcControlRequest(device_, kClassOut, kSetCur, kXuSelectorCommand, unitId(), interfaceNumber_, out,
                                    false, kControlTimeoutMs);
  if (!urb.ok) DebugPrint("SetCmd failed %d\n", static_cast<int>(urb.error));
  return ResultOf(urb);
}

std::uint32_t CExtUnit::GetCmdStatus(std::span<std::uint8_t, 8> out) {
  UrbResult urb = UvcControlRequest(device_, kClassIn, kGetCur, kXuSelectorCommand, unitId(), interfaceNumber_, out,
                                    true, kControlTimeoutMs);
  if (urb.ok && urb.length != out.size()) urb.ok = false;
  if (!urb.ok) DebugPrint("GetCmdStatus failed %d\n", static_cast<int>(urb.error));
  return ResultOf(urb);
}

std::uint32_t CExtUnit::GetData(Bytes piece) {
  if (piece.size() < dataControlSize_) return kResultInvalidArgument;
  Bytes target = piece.first(dataControlSize_);
  UrbResult urb = UvcControlRequest(device_, kClassIn, kGetCur, kXuSelectorData, unitId(), interfaceNumber_, target,
                                    true, kControlTimeoutMs);
  // A short piece would leave stale bytes in the caller's buffer.
  if (urb.ok && urb.length != target.size()) urb.ok = false;
  if (!urb.ok) DebugPrint("GetData failed %d\n", static_cast<int>(urb.error));
  return ResultOf(urb);
}

std::uint32_t CExtUnit::SetData(ConstBytes piece) {
  if (piece.size() < dataControlSize_) return kResultInvalidArgument;
  // The backend takes a writable span; send a copy so the caller's bytes stay untouched.
  std::array<std::uint8_t, kScratchSize> out{};
  std::copy_n(piece.begin(), dataControlSize_, out.begin());
  UrbResult urb = UvcControlRequest(device_, kClassOut, kSetCur, kXuSelectorData, unitId(), interfaceNumber_,
                                    Bytes(out).first(dataControlSize_), false, kControlTimeoutMs);
  if (!urb.ok) DebugPrint("SetData failed %d\n", static_cast<int>(urb.error));
  return ResultOf(urb);
}

std::uint32_t CExtUnit::GetData(Bytes buffer, std::uint32_t& done, ProgressFn progress, void* user) {
  return InPieces(
      buffer, dataControlSize_, done, progress, user, [&](Bytes piece) { return GetData(piece); },
      [&](Bytes rest) {
        std::fill_n(scratch_.begin(), dataControlSize_, 0);
        std::uint32_t result = GetData(scratch_);
        if (result == kResultOk) std::copy_n(scratch_.begin(), rest.size(), rest.begin());
        return result;
      });
}

// The last piece goes as a whole data-control transfer, zero-padded.
std::uint32_t CExtUnit::SetData(ConstBytes buffer, std::uint32_t& done, ProgressFn progress, void* user) {
  return InPieces(
      buffer, dataControlSize_, done, progress, user, [&](ConstBytes piece) { return SetData(piece); },
      [&](ConstBytes rest) {
        std::fill_n(scratch_.begin(), dataControlSize_, 0);
        std::copy(rest.begin(), rest.end(), scratch_.begin());
        return SetData(scratch_);
      });
}

bool CExtUnit::ChangeDataControlSize(std::uint32_t& size) {
  if (size == dataControlSize_) return true;
  // The scratch buffer bounds every piece.
  if (size == 0 || size > kScratchSize) {
    DebugPrint("ChangeDataControlSize %u out of range\n", size);
    size = dataControlSize_;
    return false;
  }
  const XuCommandRow& row = XuCommand(VendorOp::kChangeDataControlSize);
  CSyncOperate lock(lock_, lockWaitMs_, row.lockName);
  if (!lock.owned()) {
    size = dataControlSize_;
    return false;
  }
  std::uint32_t result = SetCmd(CommandFor(VendorOp::kChangeDataControlSize, 0, size));
  if (result != kResultOk) {
    size = dataControlSize_;
    ReportCmdError(row.setCmdText, result);
    return false;
  }
  std::array<std::uint8_t, 2> reported{};
  UrbResult urb = UvcControlRequest(device_, kClassIn, kGetLen, kXuSelectorData, unitId(), interfaceNumber_, reported,
                                    true, kControlTimeoutMs);
  if (urb.ok && urb.length != reported.size()) urb.ok = false;
  if (!urb.ok) {
    size = dataControlSize_;
    ReportCmdError(row.setCmdText, ResultOf(urb));
    return false;
  }
  const std::uint32_t length = reported[0] | reported[1] << 8u;
  if (length == size) {
    dataControlSize_ = size;
    return true;
  }
  // A length below the default piece or beyond the scratch buffer keeps the size in force.
  if (length < kDefaultDataControlSize || length > kScratchSize) {
    DebugPrint("ChangeDataControlSize: device reports %u\n", length);
    size = dataControlSize_;
    return false;
  }
  dataControlSize_ = length;
  size = length;
  return false;
}

}  // namespace quillon
