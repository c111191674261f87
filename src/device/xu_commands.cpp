#include "device/xu_commands.h"

#include <cstdio>

namespace quillon {

std::string DataFailureText(const XuCommandRow& row, std::uint32_t base, std::uint32_t done) {
  const std::uint32_t value = row.textValue == TextValue::kDone         ? done
                              : row.textValue == TextValue::kAtPlusDone ? base + done
                                                                        : base;
  char suffix[32] = "";
  switch (row.dataArg) {
    case DataArg::kNone:
      break;
    case DataArg::kHex:
      std::snprintf(suffix, sizeof suffix, " 0x%X", value);
      break;
    case DataArg::kHexLower:
      std::snprintf(suffix, sizeof suffix, " 0x%x", value);
      break;
    case DataArg::kSlave:
      std::snprintf(suffix, sizeof suffix, " SlaveAddr=0x%02X", value);
      break;
    case DataArg::kAddr:
      std::snprintf(suffix, sizeof suffix, " Addr=0x%02X", value);
      break;
  }
  if (row.dataText.empty()) return {};
  return std::string(row.dataText) + suffix;
}

std::string_view StatusCodeName(std::uint8_t code) {
  static constexpr std::string_view kNames[] = {
      "VCMD_STS_CMD",        "VCMD_STS_DATA_IN",      "VCMD_STS_DATA_OUT",     "VCMD_STS_ERR_DIR",
      "VCMD_STS_NOT_FINISH", "VCMD_STS_ERR_LEN",      "VCMD_STS_UNKNOWN_SCMD", "VCMD_STS_ERR_OUTRANGE",
      "VCMD_STS_UNKNOWN_CMD", "VCMD_STS_HW_ERR",
  };
  if (code < std::size(kNames)) return kNames[code];
  if (code == 0xFE) return "VCMD_STS_RET_NO_ERR";
  return "Undefined ExtUnit error code\n";
}

}  // namespace quillon
