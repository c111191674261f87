#include "image_maker.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "data/config_builder.h"
#include "data/config_descriptor.h"
#include "data/image_version.h"
#include "data/le_bytes.h"
#include "data/user_ini.h"
#include "platform/files.h"
#include "platform/resources.h"

namespace quillon::mkimage {
namespace {

constexpr std::size_t kMaxImage = 0x1000000;
constexpr std::size_t kCodeInfoBytes = 64;
constexpr std::size_t kCodeHeaderAt = 0x1000;
constexpr std::size_t kCodeHeaderSize = 20;

// Deterministic filler that never holds 0xA5, so no run of it can be taken for
// a configuration header.
class CodeBytes {
 public:
  explicit CodeBytes(std::uint32_t seed) : state_(seed * 2654435761u + 0x9E3779B9u) {}
  std::uint8_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    auto byte = static_cast<std::uint8_t>(state_ >> 11);
    return byte == 0xA5 ? 0x5A : byte;
  }
  std::vector<std::uint8_t> Take(std::size_t count) {
    std::vector<std::uint8_t> out(count);
    for (auto& byte : out) byte = Next();
    return out;
  }

 private:
  std::uint32_t state_;
};

bool IsFlash(Memory memory) { return memory == Memory::Spi || memory == Memory::Nor; }
bool IsEeprom(Memory memory) { return memory == Memory::Eeprom8 || memory == Memory::Eeprom16; }

bool Fail(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
  return false;
}

struct Area {
  std::vector<std::uint8_t> bytes;
  std::uint16_t totalLength = 0;
  // Where the small-cache data lies inside the area (empty range when none).
  std::size_t dataBegin = 0;
  std::size_t dataEnd = 0;
};

void AddString(CDescBuilder& builder, std::uint8_t type, const char* name, const std::string& text) {
  CDescString record(type, name);
  record.SetString(text);
  builder.AddDescriptor(record);
}

void AddFixed(CDescBuilder& builder, CodeBytes& filler, std::uint8_t type, std::uint8_t chipCode) {
  auto record = CreateDescriptor(type, chipCode);
  if (auto* fixed = dynamic_cast<CDescFixed*>(record.get())) {
    auto payload = filler.Take(fixed->Payload().size());
    std::copy(payload.begin(), payload.end(), fixed->Payload().begin());
  } else if (auto* slb = dynamic_cast<CDescSLB*>(record.get())) {
    slb->mode = 1;
    slb->channel = 2;
    auto pattern = filler.Take(slb->pattern.size());
    std::copy(pattern.begin(), pattern.end(), slb->pattern.begin());
    slb->count = 100;
  } else if (auto* codec = dynamic_cast<CDescCodecSequence*>(record.get())) {
    codec->SetData(filler.Take(12));
    codec->trailer = 0x1234;
  }
  builder.AddDescriptor(*record);
}

std::optional<Area> BuildArea(const ImageSpec& spec, std::uint8_t typeByte, std::uint8_t chipCode,
                              std::size_t maximum, CodeBytes& filler, std::string* error) {
  ConfigHeader header;
  header.typeByte = typeByte;
  header.chipCode = chipCode;
  std::uint8_t eepromInfo = spec.memory == Memory::Eeprom8 ? 1 : spec.memory == Memory::Eeprom16 ? 2 : 0;
  CDescBuilder builder;
  builder.InitFromHeader(header, true, kDefaultVersionWord, eepromInfo);

  Area area;
  if (spec.smallCache) {
    CDescSmallCachecode cache;
    cache.SetData(filler.Take(*spec.smallCache));
    area.dataBegin = builder.Cursor() + CDescSmallCachecode::kFixedPart;
    if (!builder.AddDescriptor(cache)) {
      Fail(error, "the small-cache code does not fit a configuration area");
      return std::nullopt;
    }
    area.dataEnd = area.dataBegin + *spec.smallCache;
  }
  AddString(builder, record_type::kManufacturer, "CDescStringManu", "Quillon Audio");
  AddString(builder, record_type::kProduct, "CDescStringProd", "TQ Codec Demo");
  AddString(builder, record_type::kSerialNumber, "CDescStringSN", spec.serial);

  CDescVIDPID ids;
  ids.vendorId = spec.vid;
  ids.productId = spec.pid;
  ids.release = spec.rev;
  builder.AddDescriptor(ids);

  CDescCodeInfo code;
  code.SetCode(filler.Take(kCodeInfoBytes));
  builder.AddDescriptor(code);

  if (chipCode == 21 || chipCode == 24) {
    for (std::uint8_t type : {64, 71, 14}) AddFixed(builder, filler, type, chipCode);
  } else if (chipCode == 17) {
    for (std::uint8_t type : {9, 27, 47}) AddFixed(builder, filler, type, chipCode);
  }

  area.totalLength = builder.TotalLength();
  area.bytes.assign(builder.TotalLength() + builder.CodeLength(), 0xFF);
  if (!builder.GetConfigData(area.bytes, maximum)) {
    Fail(error, "the configuration area (" + std::to_string(area.bytes.size()) + " bytes) does not fit in " +
                    std::to_string(maximum) + " bytes");
    return std::nullopt;
  }
  return area;
}

std::string ToHex(std::size_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%zX", value);
  return text;
}

bool Overlaps(std::size_t a, std::size_t aEnd, std::size_t b, std::size_t bEnd) { return a < bEnd && b < aEnd; }

std::optional<std::uint64_t> ParseNumber(const std::string& text) {
  if (text.empty() || text[0] == '-') return std::nullopt;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (end == nullptr || *end != '\0') return std::nullopt;
  return value;
}

}  // namespace

const char* const kUsage =
    "usage: quillon-mkimage OUT [options]\n"
    "Builds a firmware image (.rfw) with program code, a version record and a\n"
    "configuration area.\n"
    "  --memory spi|nor|eeprom8|eeprom16|otp  memory the image is for (spi)\n"
    "  --ic tq7702|tq7704|tq7724  IC profile (tq7704)\n"
    "  --chip-code N          chip code in the area header (the profile's)\n"
    "  --size N               image size in bytes (65536)\n"
    "  --config-at N          offset of the configuration area (EEPROM: 0; else the\n"
    "                         profile's ConfigAddress)\n"
    "  --vid N                vendor id (0x3A7C)\n"
    "  --pid N                product id (0x0011)\n"
    "  --rev N                release number (0x0001)\n"
    "  --version B0,...,B7    version record bytes (0x41,0x19,0,0,0x01,0x15,0,0)\n"
    "  --serial TEXT          serial-number string, at most 48 characters\n"
    "  --small-cache N        add a small-cache code record of N data bytes\n"
    "  --type-byte N          area type byte instead of the memory's\n"
    "  --copy-at N            write a second copy of the area at N\n"
    "  --code FILE            program code from the raw binary FILE (from the code region's start;\n"
    "                         its version record is kept unless --version is given)\n"
    "  --blank                no program code, version record or tag: 0xFF outside the area\n"
    "  --help                 this text\n"
    "  --version              (alone) the program version\n"
    "The area type byte follows the memory: 0x55, 0x55, 0x11, 0x12, 0x60.\n"
    "Numbers are decimal or 0x hexadecimal. The version record lies at 0x100C in\n"
    "images of 64 KB or more, else at 0x11B. Flash images carry the tag word at the\n"
    "profile's TagAddress: 0xAA55 for TQ7702, 0xFFFF for TQ7704 and TQ7724 and for\n"
    "an area at offset 0.\n";

std::optional<ProfileFacts> BuiltinProfileFacts(const std::string& ic) {
  int number = 0;
  if (ic == "tq7702") number = 2030;
  if (ic == "tq7704") number = 2031;
  if (ic == "tq7724") number = 2032;
  auto text = FindTextResource(number, "ICINI");
  if (number == 0 || !text) return std::nullopt;
  CUserIni profile;
  profile.LoadText(*text);
  ProfileFacts facts;
  profile.GetVendorInfo("ConfigAddress", &facts.configAddress);
  profile.GetConfigSize(&facts.configSize);
  profile.GetVendorInfo("TagAddress", &facts.tagAddress);
  facts.chipCode = 0xFF;
  profile.GetChipInfo(facts.chipCode);
  return facts;
}

std::uint8_t TypeByteOf(Memory memory) {
  switch (memory) {
    case Memory::Eeprom8:
      return 0x11;
    case Memory::Eeprom16:
      return 0x12;
    case Memory::Otp:
      return 0x60;
    default:
      return 0x55;
  }
}

std::optional<std::vector<std::uint8_t>> MakeImage(const ImageSpec& spec, std::string* error) {
  auto facts = BuiltinProfileFacts(spec.ic);
  if (!facts) return Fail(error, "unknown IC '" + spec.ic + "'"), std::nullopt;
  if (spec.size < 0x200 || spec.size > kMaxImage) return Fail(error, "size must be 512 to 16 MB"), std::nullopt;
  const std::uint8_t chipCode = spec.chipCode.value_or(facts->chipCode);
  if (chipCode > 31) return Fail(error, "chip code must be 0 to 31"), std::nullopt;
  if (spec.serial.size() > kMaxStringChars) {
    return Fail(error, "serial number longer than 48 characters"), std::nullopt;
  }
  // The chip reads an EEPROM's configuration area at offset 0.
  const std::size_t configAt = spec.configAt.value_or(IsEeprom(spec.memory) ? 0 : facts->configAddress);
  if (configAt >= spec.size) return Fail(error, "configuration area lies outside the image"), std::nullopt;
  if (spec.smallCache && (*spec.smallCache == 0 || *spec.smallCache > 0xF000)) {
    return Fail(error, "small-cache size must be 1 to 61440"), std::nullopt;
  }

  CodeBytes filler(chipCode * 131u + static_cast<std::uint32_t>(spec.size));
  const bool atProfileAddress = configAt == facts->configAddress;
  std::size_t maximum = spec.size - configAt;
  if (atProfileAddress) maximum = std::min<std::size_t>(maximum, facts->configSize);
  auto area = BuildArea(spec, spec.typeByte.value_or(TypeByteOf(spec.memory)), chipCode, maximum, filler, error);
  if (!area) return std::nullopt;
  const std::size_t areaEnd = configAt + area->bytes.size();
  if (areaEnd > spec.size) return Fail(error, "configuration area runs past the image"), std::nullopt;

  std::vector<std::uint8_t> image(spec.size, 0xFF);
  const bool tagged = IsFlash(spec.memory) && !spec.blank && facts->tagAddress + 2 <= spec.size;
  const bool ownCode = !spec.codeFile.empty();
  if (ownCode && spec.blank) return Fail(error, "--code and --blank exclude each other"), std::nullopt;
  if (!spec.blank) {
    std::size_t codeBegin = configAt == 0 ? (areaEnd + 15) & ~std::size_t{15} : 0;
    std::size_t codeEnd = configAt == 0 ? spec.size : configAt;
    if (tagged && facts->tagAddress >= codeBegin) codeEnd = std::min<std::size_t>(codeEnd, facts->tagAddress);
    if (ownCode) {
      auto code = ReadWholeFile(spec.codeFile);
      if (!code || code->empty()) return Fail(error, "cannot read the code file '" + spec.codeFile + "'"), std::nullopt;
      const std::size_t room = codeEnd > codeBegin ? codeEnd - codeBegin : 0;
      if (code->size() > room) {
        return Fail(error, "the code file holds " + std::to_string(code->size()) + " bytes; the code region (" +
                               ToHex(codeBegin) + " to " + ToHex(codeEnd) + ") holds " + std::to_string(room)),
               std::nullopt;
      }
      std::copy(code->begin(), code->end(), image.begin() + static_cast<std::ptrdiff_t>(codeBegin));
    }
    if (!ownCode) {
      for (std::size_t i = codeBegin; i < codeEnd; ++i) image[i] = filler.Next();
    }
    if (!ownCode && codeBegin <= kCodeHeaderAt && codeEnd >= kCodeHeaderAt + kCodeHeaderSize) {
      const std::uint8_t head[12] = {'Q', 'L', 0x00, chipCode, 0x77, 0x04, 0x20, 0x26, 0, 0, 0, 0};
      std::copy(std::begin(head), std::end(head), image.begin() + kCodeHeaderAt);
      WriteU16Le(image, kCodeHeaderAt + 8, static_cast<std::uint16_t>(std::min<std::size_t>(codeEnd, 0xFFFF)));
    }
  }
  std::copy(area->bytes.begin(), area->bytes.end(), image.begin() + configAt);
  if (spec.copyAt) {
    if (*spec.copyAt + area->bytes.size() > spec.size ||
        Overlaps(*spec.copyAt, *spec.copyAt + area->bytes.size(), configAt, areaEnd)) {
      return Fail(error, "the area copy does not fit"), std::nullopt;
    }
    std::copy(area->bytes.begin(), area->bytes.end(), image.begin() + *spec.copyAt);
  }
  if (!spec.blank) {
    const std::size_t at = VersionRecordOffset(spec.size);
    // The version may fall on code or small-cache data, never on record bytes.
    const std::size_t recordsEnd = configAt + area->totalLength;
    const bool hitsRecords =
        area->dataEnd > area->dataBegin
            ? Overlaps(at, at + 8, configAt, configAt + area->dataBegin) ||
                  Overlaps(at, at + 8, configAt + area->dataEnd, recordsEnd)
            : Overlaps(at, at + 8, configAt, recordsEnd);
    if (hitsRecords) return Fail(error, "the version record would overwrite the configuration area"), std::nullopt;
    if (!ownCode || spec.versionGiven) std::copy(spec.version.begin(), spec.version.end(), image.begin() + at);
  }
  if (tagged) {
    if (Overlaps(facts->tagAddress, facts->tagAddress + 2, configAt, areaEnd)) {
      return Fail(error, "the tag word would overwrite the configuration area"), std::nullopt;
    }
    // Only a TQ7702 write with its area at the profile's address puts a tag
    // down; elsewhere the chip keeps FF FF there, and so must the file.
    WriteU16Le(image, facts->tagAddress, spec.ic == "tq7702" && configAt != 0 ? 0xAA55 : 0xFFFF);
  }
  return image;
}

std::optional<std::string> ParseArguments(const std::vector<std::string>& args, ImageSpec& spec, bool* help,
                                          std::string* error) {
  std::optional<std::string> out;
  auto fail = [&](std::string text) -> std::optional<std::string> {
    Fail(error, std::move(text));
    return std::nullopt;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      if (help != nullptr) *help = true;
      return std::string();
    }
    if (arg == "--blank") {
      spec.blank = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      if (out) return fail("more than one output file: '" + arg + "'");
      out = arg;
      continue;
    }
    if (i + 1 >= args.size()) return fail(arg + " needs a value");
    const std::string& value = args[++i];
    auto number = [&](std::uint64_t max) -> std::optional<std::uint64_t> {
      auto parsed = ParseNumber(value);
      if (!parsed || *parsed > max) return std::nullopt;
      return parsed;
    };
    if (arg == "--memory") {
      if (value == "spi") spec.memory = Memory::Spi;
      else if (value == "nor") spec.memory = Memory::Nor;
      else if (value == "eeprom8") spec.memory = Memory::Eeprom8;
      else if (value == "eeprom16") spec.memory = Memory::Eeprom16;
      else if (value == "otp") spec.memory = Memory::Otp;
      else return fail("unknown memory '" + value + "'");
    } else if (arg == "--ic") {
      std::string ic = ToLowerAscii(value);
      if (ic != "tq7702" && ic != "tq7704" && ic != "tq7724") return fail("unknown IC '" + value + "'");
      spec.ic = ic;
    } else if (arg == "--serial") {
      spec.serial = value;
    } else if (arg == "--code") {
      spec.codeFile = value;
    } else if (arg == "--version") {
      std::array<std::uint8_t, 8> bytes{};
      std::size_t count = 0;
      std::size_t start = 0;
      while (start <= value.size()) {
        std::size_t comma = value.find(',', start);
        std::string part = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        auto parsed = ParseNumber(part);
        if (!parsed || *parsed > 0xFF || count == bytes.size()) return fail("--version takes eight bytes B0,...,B7");
        bytes[count++] = static_cast<std::uint8_t>(*parsed);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      if (count != bytes.size()) return fail("--version takes eight bytes B0,...,B7");
      spec.version = bytes;
      spec.versionGiven = true;
    } else {
      struct NumberOption {
        const char* name;
        std::uint64_t max;
      };
      static constexpr NumberOption kNumbers[] = {
          {"--chip-code", 31},   {"--size", kMaxImage},      {"--config-at", kMaxImage},  {"--vid", 0xFFFF},
          {"--pid", 0xFFFF},     {"--rev", 0xFFFF},          {"--small-cache", 0xFFFF},   {"--type-byte", 0xFF},
          {"--copy-at", kMaxImage}};
      auto known = std::find_if(std::begin(kNumbers), std::end(kNumbers),
                                [&](const NumberOption& option) { return arg == option.name; });
      if (known == std::end(kNumbers)) return fail("unknown option '" + arg + "'");
      auto parsed = number(known->max);
      if (!parsed) return fail("bad number '" + value + "' for " + arg);
      const auto n = *parsed;
      if (arg == "--chip-code") spec.chipCode = static_cast<std::uint8_t>(n);
      if (arg == "--size") spec.size = n;
      if (arg == "--config-at") spec.configAt = static_cast<std::uint32_t>(n);
      if (arg == "--vid") spec.vid = static_cast<std::uint16_t>(n);
      if (arg == "--pid") spec.pid = static_cast<std::uint16_t>(n);
      if (arg == "--rev") spec.rev = static_cast<std::uint16_t>(n);
      if (arg == "--small-cache") spec.smallCache = n;
      if (arg == "--type-byte") spec.typeByte = static_cast<std::uint8_t>(n);
      if (arg == "--copy-at") spec.copyAt = static_cast<std::uint32_t>(n);
    }
  }
  if (!out || out->empty()) return fail("no output file given");
  return out;
}

}  // namespace quillon::mkimage
