// The transfer log: one line per control transfer,
// "<bmRequestType> <bRequest> <wValue> <wIndex> <wLength> <data>" in lowercase
// hex, the data being the bytes sent or returned ("-" when none), and " !<code>"
// after a failed transfer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>

#include "proxy/usb_backend.h"

namespace quillon::sim {

std::string TransferLogLine(const SetupPacket& setup, std::span<const std::uint8_t> data, std::uint32_t error);

// Appends lines to a file; each line is flushed, so that a process that ends
// abruptly leaves every transfer it made.
class TransferLog {
 public:
  TransferLog() = default;
  ~TransferLog();
  TransferLog(const TransferLog&) = delete;
  TransferLog& operator=(const TransferLog&) = delete;

  bool Open(const std::filesystem::path& file);
  bool is_open() const { return file_ != nullptr; }
  void Write(const SetupPacket& setup, std::span<const std::uint8_t> data, std::uint32_t error);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace quillon::sim
