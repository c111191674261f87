#include "sim/transfer_log.h"

namespace quillon::sim {

std::string TransferLogLine(const SetupPacket& setup, std::span<const std::uint8_t> data, std::uint32_t error) {
  char head[40];
  std::snprintf(head, sizeof head, "%02x %02x %04x %04x %04x ", setup.bmRequestType, setup.bRequest, setup.wValue,
                setup.wIndex, setup.wLength);
  std::string line = head;
  if (data.empty()) {
    line += '-';
  } else {
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::uint8_t byte : data) {
      line += kHex[byte >> 4];
      line += kHex[byte & 0xF];
    }
  }
  if (error != kUsbOk) line += " !" + std::to_string(error);
  return line;
}

TransferLog::~TransferLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool TransferLog::Open(const std::filesystem::path& file) {
  if (file_ != nullptr) std::fclose(file_);
  file_ = std::fopen(file.c_str(), "a");
  return file_ != nullptr;
}

void TransferLog::Write(const SetupPacket& setup, std::span<const std::uint8_t> data, std::uint32_t error) {
  if (file_ == nullptr) return;
  const std::string line = TransferLogLine(setup, data, error);
  std::fprintf(file_, "%s\n", line.c_str());
  std::fflush(file_);
}

}  // namespace quillon::sim
