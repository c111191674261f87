#include "data/serial_record.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "data/config_builder.h"
#include "data/config_reader.h"
#include "data/le_bytes.h"
#include "data/settings.h"
#include "platform/trace.h"

namespace quillon {
namespace {

constexpr TraceScope kSerialScope{"CDescGlobal::WriteSerialRecord", 0, kTraceDevice};
constexpr std::uint16_t kTagWord = 0xAA55;

const char* StringClassName(std::uint8_t type) {
  return type == record_type::kManufacturer ? "CDescStringManu" : "CDescStringSN";
}

bool Printable(char c) { return c >= 0x20 && c <= 0x7E; }

}  // namespace

std::optional<std::string> SerialTextProblem(std::string_view text) {
  const auto bad = std::find_if_not(text.begin(), text.end(), Printable);
  if (bad == text.end()) return std::nullopt;
  char line[96];
  std::snprintf(line, sizeof line, " holds byte 0x%02X at %zu; only printable ASCII (0x20 to 0x7E) is written",
                static_cast<unsigned>(static_cast<unsigned char>(*bad)), static_cast<std::size_t>(bad - text.begin()));
  return "serial number \"" + EscapedSerial(text) + "\"" + line;
}

std::string EscapedSerial(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (Printable(c)) {
      out += c;
      continue;
    }
    char code[5];
    std::snprintf(code, sizeof code, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
    out += code;
  }
  return out;
}

bool WriteSerialRecord(const AreaContext& context, std::span<std::uint8_t> image, std::string_view text,
                       std::uint8_t recordType, bool snFunction, std::uint16_t* newTotalLength) {
  if (auto problem = SerialTextProblem(text)) {
    TraceRaw(kSerialScope, "%s\r\n", problem->c_str());
    return false;
  }
  const std::size_t at = context.configAddress;
  const std::size_t size = context.configSize;
  const std::size_t tag = context.tagAddress;

  // Without an area at "ConfigAddress" there is nothing to rewrite: building
  // one from whatever bytes lie there would program garbage.
  if (at >= image.size()) return false;
  CDescGlobal reader;
  reader.SetCopy(image.subspan(at));
  reader.ParseHeader();
  const ConfigHeader* oldHeader = reader.ParseHeader();
  if (oldHeader == nullptr || !oldHeader->HasSignature()) {
    TraceRaw(kSerialScope, "%s\r\n", kConfigCorruptedText);
    return false;
  }
  CDescBuilder builder;
  builder.InitFromHeader(reader, *oldHeader, true);

  std::string serial(text);
  if (recordType == record_type::kSerialNumber && snFunction) serial.insert(serial.begin(), '\x07');

  bool found = false;
  bool failed = false;
  std::size_t oldExtent = oldHeader->totalLength;
  WalkResult walk = WalkConfigArea(reader, [&](CDescriptor& record) {
    if (const auto* code = dynamic_cast<const CDescCodeInfo*>(&record)) {
      oldExtent = std::max<std::size_t>(oldExtent, std::size_t{code->codeOffset} + code->codeLength);
    }
    std::unique_ptr<CDescString> replacement;
    const CDescriptor* add = &record;
    if (record.Type() == recordType) {
      found = true;
      auto* string = dynamic_cast<CDescString*>(&record);
      if (string == nullptr) {
        // A record of this type that was not a readable string is replaced.
        replacement = std::make_unique<CDescString>(recordType, StringClassName(recordType));
        string = replacement.get();
        add = string;
      }
      if (!string->SetString(serial)) {
        TraceRaw(kSerialScope, "SetString failed\r\n");
        failed = true;
        return false;
      }
      TraceRaw(kSerialScope, "|----- DescType length: %d\n |-----string length: %d\n",
               static_cast<int>(string->EmbeddedLength()), static_cast<int>(serial.size()));
    }
    if (!builder.AddDescriptor(*add)) {
      TraceRaw(kSerialScope, "Add SN Descriptor failed\r\n");
      failed = true;
      return false;
    }
    return true;
  });
  if (failed) return false;
  if (walk != WalkResult::Done) {
    TraceRaw(kSerialScope, "%s\r\n", kConfigCorruptedText);
    return false;
  }

  if (!found) {
    CDescString record(recordType, StringClassName(recordType));
    if (!record.SetString(serial)) {
      TraceRaw(kSerialScope, "set serial number string failed\r\n");
      return false;
    }
    TraceRaw(kSerialScope, "|----- SN length: %d\n |-----string length: %d\n",
             static_cast<int>(record.EmbeddedLength()), static_cast<int>(serial.size()));
    if (!builder.AddDescriptor(record)) {
      TraceRaw(kSerialScope, "Add SN Descriptor failed\r\n");
      return false;
    }
  }

  std::vector<std::uint8_t> buffer(image.size(), 0xFF);
  if (!builder.GetConfigData(std::span(buffer).subspan(at), size)) {
    TraceRaw(kSerialScope, "GetConfigData failed\r\n");
    return false;
  }
  if (newTotalLength != nullptr) *newTotalLength = builder.TotalLength();

  std::copy_n(image.begin(), at, buffer.begin());
  std::size_t replaced = std::min(at + size, image.size());
  if (at != 0) {
    buffer[at] = area_type::kFlash;
    if (tag <= buffer.size() && buffer.size() - tag >= 2) WriteU16Le(buffer, tag, kTagWord);
  } else {
    // The code after an area at offset 0 is kept: only the old area's bytes
    // and erased bytes after them may take the new area.
    const std::size_t newExtent = std::size_t{builder.TotalLength()} + builder.CodeLength();
    const std::size_t keptFrom = std::min(oldExtent, image.size());
    if (std::any_of(image.begin() + static_cast<std::ptrdiff_t>(keptFrom),
                    image.begin() + static_cast<std::ptrdiff_t>(std::max(keptFrom, newExtent)),
                    [](std::uint8_t byte) { return byte != 0xFF; })) {
      TraceRaw(kSerialScope, "GetConfigData failed\r\n");
      return false;
    }
    replaced = std::max(keptFrom, newExtent);
  }
  std::copy_n(buffer.begin(), replaced, image.begin());
  TraceRaw(kSerialScope, "|----- DownLoad length: %d\n", static_cast<int>(image.size()));
  return true;
}

bool WriteSerialRecord(const AreaContext& context, std::span<std::uint8_t> image, std::string_view text,
                       std::uint16_t* newTotalLength) {
  const std::uint8_t type = Setting(key::kSnAddress, 0) != 0 ? record_type::kSerialNumber : record_type::kManufacturer;
  const bool snFunction = Setting(key::kSnFunction, 0) != 0;
  return WriteSerialRecord(context, image, text, type, snFunction, newTotalLength);
}

}  // namespace quillon
