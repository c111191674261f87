#include "proxy/xu_search.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/debug_channel.h"

namespace quillon {
namespace {

constexpr std::uint8_t kInterface = 0x04;
constexpr std::uint8_t kClassInterface = 0x24;
constexpr std::uint8_t kAssociation = 0x0B;

// Steps through the descriptors of a configuration, bounded by the buffer and
// wTotalLength. A descriptor shorter than 2 bytes, or one that runs past the
// end, ends the walk.
class DescriptorWalk {
 public:
  explicit DescriptorWalk(std::span<const std::uint8_t> config) : data_(config) {
    if (config.size() >= 4) {
      std::size_t total = static_cast<std::size_t>(config[2] | (config[3] << 8));
      end_ = std::min(total, config.size());
    }
  }
  // Where the walk starts over.
  void Restart() { at_ = 0; }
  void MoveTo(std::size_t offset) { at_ = offset; }
  // The descriptor at the current position, or nothing at the end.
  std::optional<std::span<const std::uint8_t>> Current() const {
    if (at_ + 2 > end_) return std::nullopt;
    std::size_t length = data_[at_];
    if (length < 2 || at_ + length > end_) return std::nullopt;
    return data_.subspan(at_, length);
  }
  std::size_t Offset() const { return at_; }
  void Next() {
    if (auto d = Current()) at_ += d->size();
  }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t end_ = 0;
  std::size_t at_ = 0;
};

// The byte at `offset`, when the descriptor holds it.
std::optional<std::uint8_t> At(std::span<const std::uint8_t> d, std::size_t offset) {
  if (offset >= d.size()) return std::nullopt;
  return d[offset];
}

std::optional<std::uint16_t> Word(std::span<const std::uint8_t> d, std::size_t offset) {
  if (offset + 1 >= d.size()) return std::nullopt;
  return static_cast<std::uint16_t>(d[offset] | (d[offset + 1] << 8));
}

// The version pass: true when the first video-control header says bcdUVC 1.5.
bool VersionPass(std::span<const std::uint8_t> config) {
  DescriptorWalk walk(config);
  for (auto d = walk.Current(); d; walk.Next(), d = walk.Current()) {
    if ((*d)[1] != kClassInterface) {
      DebugPrint("Continue to find next interface descriptor - condition1\n");
      continue;
    }
    if (At(*d, 2) != 1) {
      DebugPrint("Continue to find next interface descriptor - condition2\n");
      continue;
    }
    return Word(*d, 3) == 0x0150;
  }
  return false;
}

bool GuidIs(std::span<const std::uint8_t> unit, const std::uint8_t (&guid)[16]) {
  return unit.size() >= 20 && std::memcmp(unit.data() + 4, guid, 16) == 0;
}

// Controls 10 and 11 must exist: at least two controls, a bmControls of at
// least two bytes, and bits 1 and 2 of its second byte.
bool ValidVxUnit(std::span<const std::uint8_t> unit) {
  auto numControls = At(unit, 20);
  auto inPins = At(unit, 21);
  std::size_t p = inPins.value_or(0);
  auto controlSize = At(unit, 22 + p);
  auto controls0 = At(unit, 23 + p);
  auto controls1 = At(unit, 24 + p);
  bool valid = numControls && *numControls >= 2 && controlSize && *controlSize >= 2 && controls1 &&
               (*controls1 & 0x06) == 0x06;
  if (!valid) {
    DebugPrint("Invalid VX extension unit definition\n");
    DebugPrint("bNumControls=%d, bControlSize=%d, bmControls[0]=%d, bmControls[1]=%d\n", numControls.value_or(0),
               controlSize.value_or(0), controls0.value_or(0), controls1.value_or(0));
  }
  return valid;
}

}  // namespace

int FindUvcExtensionUnit(std::span<const std::uint8_t> config, int interfaceNumber, std::uint32_t& irCamera) {
  const bool uvc15 = VersionPass(config);

  DescriptorWalk walk(config);
  bool found = false;
  for (auto d = walk.Current(); d; walk.Next(), d = walk.Current()) {
    if ((*d)[1] != kInterface) {
      DebugPrint("Continue to find next interface descriptor - condition3\n");
      continue;
    }
    bool matches = At(*d, 5) == 0x0E && At(*d, 6) == 0x01 && At(*d, 7) == (uvc15 ? 1 : 0) &&
                   At(*d, 2) == interfaceNumber && At(*d, 3) == 0;
    if (!matches) {
      DebugPrint("Continue to find next interface descriptor - condition4\n");
      continue;
    }
    found = true;
    break;
  }
  if (!found) {
    DebugPrint("can not get pVCInterface\n");
    return -1;
  }

  int unitId = -1;
  bool irUnitSeen = false;
  for (walk.Next(); auto d = walk.Current(); walk.Next()) {
    if ((*d)[1] != kClassInterface) break;
    if (At(*d, 2) != 6) continue;
    if (GuidIs(*d, kVxExtensionUnitGuid)) {
      DebugPrint("Find UVC Camera Extension Unit\n");
      if (!ValidVxUnit(*d)) return -1;
      unitId = (*d)[3];
      break;
    }
    if (GuidIs(*d, kIrExtensionUnitGuid)) {
      DebugPrint("Find IR Camera Extension Unit\n");
      irUnitSeen = true;
    }
  }
  if (unitId < 0) {
    DebugPrint("No VX extension unit found\n");
    return -1;
  }

  DebugPrint("Check Whether exist IR\n");
  walk.Restart();
  for (auto d = walk.Current(); d; walk.Next(), d = walk.Current()) {
    if ((*d)[1] != kAssociation) {
      DebugPrint("Continue to find next interface descriptor - condition5\n");
      continue;
    }
    if (irUnitSeen) {
      irUnitSeen = false;
      DebugPrint("Continue to find next interface descriptor - condition6\n");
      continue;
    }
    if (At(*d, 2) == interfaceNumber) {
      irCamera = 0;
      DebugPrint("Check USB Camera Exist\n");
    } else {
      irCamera = 1;
      DebugPrint("Check IR Camera Exist\n");
    }
    break;
  }
  return unitId;
}

int FindAudioExtensionUnit(std::span<const std::uint8_t> config) {
  VersionPass(config);
  DescriptorWalk walk(config);
  for (auto d = walk.Current(); d; walk.Next(), d = walk.Current()) {
    if ((*d)[1] != kInterface) {
      DebugPrint("Continue to find next interface descriptor - condition3\n");
      continue;
    }
    for (walk.Next(); auto unit = walk.Current(); walk.Next()) {
      if ((*unit)[1] != kClassInterface) break;
      auto subtype = At(*unit, 2);
      if ((subtype == 8 || subtype == 9) && Word(*unit, 4) == kChipVendorId) return (*unit)[3];
    }
    DebugPrint("No VX extension unit found\n");
    return -1;
  }
  DebugPrint("can not get pVCInterface\n");
  return -1;
}

}  // namespace quillon
