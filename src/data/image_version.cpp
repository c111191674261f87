#include "data/image_version.h"

#include <cstdio>

#include "platform/trace.h"

namespace quillon {

VersionRecord VersionRecord::FromBytes(std::span<const std::uint8_t, 8> bytes) {
  return VersionRecord{bytes[0], bytes[1], bytes[2], bytes[3], {bytes[4], bytes[5]}, {bytes[6], bytes[7]}};
}

std::array<std::uint8_t, 8> VersionRecord::ToBytes() const {
  return {codeType, pid, projVer, cusId, libVer[0], libVer[1], cusVer[0], cusVer[1]};
}

std::size_t VersionRecordOffset(std::size_t imageLength) { return imageLength >= 0x10000 ? 0x100C : 0x11B; }

VersionFields VersionFieldsOf(const VersionRecord& r) {
  return {static_cast<std::uint32_t>(r.codeType >> 4),
          static_cast<std::uint32_t>(r.codeType & 0x0F),
          r.pid,
          static_cast<std::uint32_t>(r.projVer * 256 + r.cusId),
          static_cast<std::uint32_t>(r.libVer[0] * 256 + r.libVer[1]),
          static_cast<std::uint32_t>(r.cusVer[0] * 256 + r.cusVer[1])};
}

std::string VersionText(const VersionFields& f) {
  char text[48];
  std::snprintf(text, sizeof text, "%01X.%01X%02X.%04X-%04X.%04X", f[0], f[1], f[2], f[3], f[4], f[5]);
  return text;
}

bool ImageVersion(std::span<const std::uint8_t> image, std::string* text, VersionFields* fields) {
  const std::size_t base = VersionRecordOffset(image.size());
  if (image.size() < base + 8) {
    if (text != nullptr) text->clear();
    if (fields != nullptr) *fields = {};
    return false;
  }
  const VersionFields found = VersionFieldsOf(VersionRecord::FromBytes(image.subspan(base).first<8>()));
  if (text != nullptr) *text = VersionText(found);
  if (fields != nullptr) *fields = found;
  return true;
}

bool VersionEqual(const VersionRecord& v1, const VersionRecord& v2) {
  ScopedTrace scope("CFirmwareImage::VersionEqual", kTraceDevice);
  static constexpr const char* kNames[8] = {"CodeType",  "PID",       "ProjVer",   "CusID",
                                            "LibVer[0]", "LibVer[1]", "CusVer[0]", "CusVer[1]"};
  const auto a = v1.ToBytes();
  const auto b = v2.ToBytes();
  bool equal = true;
  for (std::size_t i = 0; i < a.size(); ++i) {
    Trace(scope, "v1.%s %x v2.%s %x\n", kNames[i], a[i], kNames[i], b[i]);
    if (a[i] != b[i]) equal = false;
  }
  return equal;
}

}  // namespace quillon
