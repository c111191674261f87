#include "data/config_image.h"

#include <algorithm>
#include <cstdio>

#include "data/config_reader.h"
#include "data/current_types.h"
#include "data/ic_type_ini.h"
#include "data/settings.h"
#include "data/working_memory.h"
#include "platform/files.h"
#include "platform/prompt.h"

namespace quillon {
namespace {

constexpr std::size_t kBigImage = 0x10000;
constexpr std::size_t kSmallImage = 0x4000;
constexpr std::size_t kLastBlock = 0xF000;
// Images longer than this carry the code signature bytes at 0x1003..0x1007.
constexpr std::size_t kSignatureMinLength = 4128;

bool IsTq7704(const AreaContext& context) { return context.icName == "TQ7704"; }

// The header at `offset` when it is all there and carries the signature.
std::optional<ConfigHeader> SignedHeaderAt(std::span<const std::uint8_t> image, std::size_t offset) {
  if (offset > image.size()) return std::nullopt;
  auto header = UnpackConfigHeader(image.subspan(offset));
  if (!header || !header->HasSignature()) return std::nullopt;
  return header;
}

// The offset of the area: at `preferred` when signed there, else at 0.
std::optional<std::size_t> AreaAtOrZero(std::span<const std::uint8_t> image, std::size_t preferred) {
  if (SignedHeaderAt(image, preferred)) return preferred;
  if (SignedHeaderAt(image, 0)) return 0;
  return std::nullopt;
}

// The type byte has no NOR value; the profile says when flash means NOR flash.
void SetMemoryTypeFrom(const ConfigHeader& header, const AreaContext& context) {
  auto type = MemoryTypeOfTypeByte(header.typeByte);
  if (!type) return;
  if (*type == MemoryType::SpiFlash && context.norFlash) type = MemoryType::NorFlash;
  SetCurrentMemoryType(*type);
}

bool NamesNorFlash(std::string_view projectType) {
  return EqualsIgnoreCase(projectType, "NOR") || projectType == "1";
}

void ShowCorrupted() { ThePrompt().Show(kConfigCorruptedText, "Error"); }

bool AreaWalks(std::span<const std::uint8_t> image, std::size_t offset) {
  CDescGlobal reader;
  reader.SetCopy(image.subspan(offset));
  return WalkConfigArea(reader, nullptr) == WalkResult::Done;
}

std::string Format(const char* format, unsigned a, unsigned b) {
  char text[32];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

std::string CodeSignature(std::span<const std::uint8_t> image) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02X%02X%02X%02X%02X", image[0x1003], image[0x1005], image[0x1004],
                image[0x1007], image[0x1006]);
  return text;
}

void TakeTexts(const CDescriptor& record, ConfigTexts& texts) {
  if (const auto* string = dynamic_cast<const CDescString*>(&record)) {
    switch (string->Type()) {
      case record_type::kManufacturer:
        texts.manufacturer = string->Text();
        break;
      case record_type::kSerialNumber:
        texts.serialNumber = string->Text();
        break;
      case record_type::kInterface:
        texts.interfaceName = string->Text();
        break;
      default:
        break;
    }
  } else if (const auto* ids = dynamic_cast<const CDescVIDPID*>(&record)) {
    texts.vidPid = Format("VID_%04X&PID_%04X", ids->vendorId, ids->productId);
    texts.release = Format("%04x", ids->release, 0);
  }
}

}  // namespace

AreaContext AreaContextOf(const CICTypeIni* profile) {
  AreaContext context;
  context.workingMemorySize = WorkingMemorySize();
  if (profile == nullptr) return context;
  profile->GetVendorInfo("ConfigAddress", &context.configAddress);
  profile->GetConfigSize(&context.configSize);
  profile->GetVendorInfo("TagAddress", &context.tagAddress);
  context.icName = profile->IcName();
  context.norFlash = NamesNorFlash(profile->GetString(kConfigSection, "Project Type", ""));
  return context;
}

AreaContext CurrentAreaContext() { return AreaContextOf(CurrentProfile()); }

bool IsAllErased(std::span<const std::uint8_t> image) {
  return std::all_of(image.begin(), image.end(), [](std::uint8_t byte) { return byte == 0xFF; });
}

std::optional<std::size_t> LocateConfigArea(const AreaContext& context, std::span<const std::uint8_t> image,
                                            ConfigAreaResults& results) {
  std::size_t at = context.configAddress;
  if (IsTq7704(context) && context.workingMemorySize == kSmallImage) at = 0;
  results.imageChipCode = 0xFF;
  results.corrupted = false;
  // Either read may find the walk broken; such an area must not be written.
  // Both look only where their own rules say, so the area found is walked too.
  const auto readAndCheck = [&](std::size_t found) {
    ReadImageConfig(context, image, results);
    CheckImageConfig(context, image, results);
    if (!results.corrupted && !AreaWalks(image, found)) {
      results.corrupted = true;
      ShowCorrupted();
    }
    return !results.corrupted;
  };

  if (at < image.size()) {
    if (auto header = SignedHeaderAt(image, at)) {
      results.areaAtZero = at == 0;
      results.imageChipCode = header->chipCode;
      if (!readAndCheck(at)) return std::nullopt;
      if (at != 0) {
        results.blockLength = 0x1000;
        results.blockAddress = static_cast<std::uint32_t>(at & ~std::size_t{0xFFF});
        return image.size() < kBigImage ? at : kLastBlock;
      }
      std::size_t end = 0;
      if (!FindSmallCacheEnd(context, image, &end)) return std::nullopt;
      const auto rounded = static_cast<std::uint32_t>(end & ~std::size_t{0xF});
      results.blockAddress = rounded;
      results.blockLength = (results.blockLength & ~0xFu) - rounded + 0x30;
      return end;
    }
  }

  auto header = SignedHeaderAt(image, 0);
  if (!header) return std::nullopt;
  results.imageChipCode = header->chipCode;
  if (!readAndCheck(0)) return std::nullopt;
  results.areaAtZero = true;
  return image.size() < kBigImage ? 0 : kLastBlock;
}

bool ReadImageConfig(const AreaContext& context, std::span<const std::uint8_t> image, ConfigAreaResults& results) {
  if (IsAllErased(image)) return false;
  std::size_t base = context.configAddress;
  if (IsTq7704(context)) {
    const MemoryType memory = CurrentMemoryType();
    if (image.size() == kSmallImage) base = 0;
    if (memory == MemoryType::Otp || (memory == MemoryType::SpiFlash && image.size() < kSmallImage)) base = 0;
  }
  if (image.size() < base) return false;
  auto offset = AreaAtOrZero(image, base);
  if (!offset) return false;

  CDescGlobal reader;
  reader.SetCopy(image.subspan(*offset));
  const ConfigHeader header = *reader.ParseHeader();
  SetMemoryTypeFrom(header, context);
  results.headerTotalLength = header.totalLength;
  results.texts = ConfigTexts{};
  WalkResult walk = WalkConfigArea(reader, [&](CDescriptor& record) {
    TakeTexts(record, results.texts);
    return true;
  });
  if (walk != WalkResult::Done) {
    results.corrupted = true;
    ShowCorrupted();
    return false;
  }
  if (image.size() > kSignatureMinLength) results.texts.codeSignature = CodeSignature(image);
  return true;
}

bool CheckImageConfig(const AreaContext& context, std::span<const std::uint8_t> image, ConfigAreaResults& results) {
  if (IsAllErased(image)) return false;
  std::size_t base = kLastBlock;
  if (IsTq7704(context) && (CurrentMemoryType() == MemoryType::Otp || image.size() == kSmallImage)) base = 0;
  if (image.size() < base) return false;
  auto header = SignedHeaderAt(image, base);
  if (!header) return false;
  SetMemoryTypeFrom(*header, context);
  results.headerTotalLength = header->totalLength;
  CDescGlobal reader;
  reader.SetCopy(image.subspan(base));
  if (WalkConfigArea(reader, nullptr) != WalkResult::Done) {
    results.corrupted = true;
    ShowCorrupted();
    return false;
  }
  return true;
}

bool FindSmallCacheEnd(const AreaContext& context, std::span<const std::uint8_t> image, std::size_t* end) {
  if (end == nullptr) return false;
  *end = 0;
  if (IsAllErased(image)) return false;
  std::size_t start = context.configAddress;
  if (IsTq7704(context) && context.workingMemorySize == kSmallImage) start = 0;
  if (image.size() < start) return false;
  auto offset = AreaAtOrZero(image, start);
  if (!offset) return false;
  CDescGlobal reader;
  reader.SetCopy(image.subspan(*offset));
  std::size_t found = 0;
  WalkResult walk = WalkConfigArea(reader, [&](CDescriptor& record) {
    if (record.Type() == record_type::kSmallCacheCode) found = *offset + reader.Cursor();
    return true;
  });
  if (walk != WalkResult::Done) return false;
  *end = found;
  return true;
}

}  // namespace quillon
