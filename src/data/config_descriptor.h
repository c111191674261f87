// The record classes of a configuration area. Each class reads the record it
// knows and writes back exactly the bytes it read, so that an area can be
// rebuilt record by record. A record whose bytes do not have its class's
// layout is read as CDescDummy, which carries its bytes over unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data/config_record.h"

namespace quillon {

// Longest string a new text may have (single-byte characters).
inline constexpr std::size_t kMaxStringChars = 48;

class CDescriptor {
 public:
  CDescriptor(std::uint8_t type, const char* className) : type_(type), className_(className) {}
  virtual ~CDescriptor() = default;
  CDescriptor(const CDescriptor&) = delete;
  CDescriptor& operator=(const CDescriptor&) = delete;

  // Reads the record `record` (exactly its bytes, header included) whose
  // header is `header`. False when the bytes do not have this class's layout.
  virtual bool Parse(const RecordHeader& header, std::span<const std::uint8_t> record) = 0;
  // Writes the record at the start of `out` (RecordLength() bytes). False when
  // `out` is too short or the record has nothing to write.
  virtual bool Serialize(std::span<std::uint8_t> out) const = 0;
  virtual std::size_t RecordLength() const = 0;

  std::uint8_t Type() const { return type_; }
  const char* ClassName() const { return className_; }

 private:
  std::uint8_t type_;
  const char* className_;
};

// Any record this system does not know (or one that does not fit its class):
// its bytes as read.
class CDescDummy final : public CDescriptor {
 public:
  explicit CDescDummy(std::uint8_t type) : CDescriptor(type, "CDescDummy") {}
  bool Parse(const RecordHeader& header, std::span<const std::uint8_t> record) override;
  bool Serialize(std::span<std::uint8_t> out) const override;
  std::size_t RecordLength() const override { return bytes_.size(); }
  std::span<const std::uint8_t> Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// String records (types 1, 2, 3, 6, 7): an embedded USB string descriptor of
// single-byte characters.
class CDescString final : public CDescriptor {
 public:
  CDescString(std::uint8_t type, const char* className) : CDescriptor(type, className) {}
  bool Parse(const RecordHeader& header, std::span<const std::uint8_t> record) override;
  bool Serialize(std::span<std::uint8_t> out) const override;
  std::size_t RecordLength() const override { return 4 + text_.size() + padding_.size(); }

  // Replaces the text (the record then ends with it); false (nothing changed)
  // above kMaxStringChars.
  bool SetString(std::string_view text);
  const std::string& Text() const { return text_; }
  // The embedded descriptor's length: 2 + number of characters.
  std::size_t EmbeddedLength() const { return 2 + text_.size(); }

 private:
  std::string text_;
  std::vector<std::uint8_t> padding_;  // record bytes behind the embedded string
  std::uint8_t descriptorType_ = 3;
};

class CDescVIDPID final : public CDescriptor {
 public:
  CDescVIDPID() : CDescriptor(record_type::kVidPid, "CDescVIDPID") {}
  bool Parse(const RecordHeader& header, std::span<const std::uint8_t> record) override;
  bool Serialize(std::span<std::uint8_t> out) const override;
  std::size_t RecordLength() const override { return 8; }

  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t release = 0;
};

// Names code bytes that lie inside the area after the records.
class CDescCodeInfo final : public CDescriptor {
 public:
  CDescCodeInfo() : CDescriptor(record_type::kCodeInfo, "CDescCodeInfo") {}
  bool Parse(const RecordHeader& header, std::span<const std::uint8_t> record) override;
  // False without code bytes: a rebuilt area would name code it does not hold.
  bool Serialize(std::span<std::uint8_t> out) const override;
  std::size_t RecordLength() const override { return 6; }

  bool HasCode() const { return hasCode_; }
  void SetCode(std::span<const std::uint8_t> code);
  std::span<const std::uint8_t> Code() const { return code_; }

  std::uint16_t codeOffset = 0;  // from the first header byte
  std::uint16_t codeLength = 0;

 private:
  bool hasCode_ = false;
  std::vector<std::uint8_t> code_;
};

// Self loop-back test settings.
class CDescSLB final : public CDescriptor {
 public:
  CDescSLB() : CDescriptor(14, "CDescSLB") {}
  bool Parse(const RecordHeader& header, std::span<const std::uint8_t> record) override;
  bool Serialize(std::span<std::uint8_t> out) const override;
  std::size_t RecordLength() const override { return 15; }

  std::uint8_t mode = 0;
  std::uint8_t channel = 0;
  std::array<std::uint8_t, 8> pattern{};
  std::uint16_t count = 0;
  std::uint8_t reserved = 0;
};

// Small-cache code: always the extended form, the data inside the record.
class CDescSmallCachecode final : public CDescriptor {
 public:
  static constexpr std::size_t kFixedPart = 8;  // 4-byte header, offset, length

  CDescSmallCachecode() : CDescriptor(record_type::kSmallCacheCode, "CDescSmallCachecode") {}
  bool Parse(const RecordHeader& header, std::span<const std::uint8_t> record) override;
  // False without data.
  bool Serialize(std::span<std::uint8_t> out) const override;
  std::size_t RecordLength() const override { return kFixedPart + data_.size(); }

  void SetData(std::span<const std::uint8_t> data) { data_.assign(data.begin(), data.end()); }
  std::span<const std::uint8_t> Data() const { return data_; }

  std::uint16_t dataOffset = 0;  // from the first header byte

 private:
  std::vector<std::uint8_t> data_;
};

// Codec sequence records of chip code 17 (types 27 to 33): 10-bit length,
// data, and a trailing 16-bit value stored high byte first.
class CDescCodecSequence final : public CDescriptor {
 public:
  CDescCodecSequence(std::uint8_t type, const char* className) : CDescriptor(type, className) {}
  bool Parse(const RecordHeader& header, std::span<const std::uint8_t> record) override;
  bool Serialize(std::span<std::uint8_t> out) const override;
  std::size_t RecordLength() const override { return 4 + data_.size(); }

  std::span<const std::uint8_t> Data() const { return data_; }
  void SetData(std::span<const std::uint8_t> data) { data_.assign(data.begin(), data.end()); }
  std::uint16_t trailer = 0;

 private:
  std::vector<std::uint8_t> data_;
};

// Audio settings of a fixed length that the system carries over unchanged.
class CDescFixed final : public CDescriptor {
 public:
  CDescFixed(std::uint8_t type, const char* className, std::size_t length)
      : CDescriptor(type, className), payload_(length - 2, 0) {}
  bool Parse(const RecordHeader& header, std::span<const std::uint8_t> record) override;
  bool Serialize(std::span<std::uint8_t> out) const override;
  std::size_t RecordLength() const override { return 2 + payload_.size(); }

  std::span<std::uint8_t> Payload() { return payload_; }
  std::span<const std::uint8_t> Payload() const { return payload_; }

 private:
  std::vector<std::uint8_t> payload_;
};

// The class for a record type under a chip code (CDescDummy when the pair is
// not in the table). Never null.
std::unique_ptr<CDescriptor> CreateDescriptor(std::uint8_t type, std::uint8_t chipCode);

// The table length of fixed-length records of this type and chip code; 0 for
// variable-length, unknown or mismatched pairs.
std::size_t FixedRecordLength(std::uint8_t type, std::uint8_t chipCode);

}  // namespace quillon
