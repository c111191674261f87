// The chip's command set as tables: the extension-unit command blocks (class
// and opcode) and the vendor requests, both mapped onto one list of operations
// that the chip carries out the same way whichever transport brought them.
#pragma once

#include <cstdint>
#include <optional>

namespace quillon::sim {

enum class Op : std::uint8_t {
  kGetDevStatus, kDevQualify, kSetDataSize,
  kResetToUpdate, kResetToNewCode, kResetToRom, kResetByRequest, kRequest6, kRequest10,
  kReadIMem, kReadMem, kWriteMem, kReadCode, kReadPhy, kWritePhy,
  kNorErase, kNorRead, kNorWrite, kNorWriteTag,
  kSpiReadId, kSpiRead, kSpiWrite, kSpiReadSr, kSpiWriteSr, kSpiEraseChip, kSpiEraseSector, kSpiWriteTag,
  kEep8Read, kEep8Write, kEep16Read, kEep16Write, kExtMemRead, kExtMemWrite,
  kI2cRegRead, kI2cRegWrite, kI2cSlaveRead, kI2cSlaveWrite, kI2cRandomRead, kI2cRandomWrite,
  kI2cSuperRead, kI2cSuperWrite, kI2cLongRead, kI2cLongWrite,
  kOtpWrite, kOtpRead, kOtpBlankCheck, kOtpAllBlankCheck, kOtpReadFail, kOtpTestDec, kOtpWriteTest,
};

enum class DataPhase : std::uint8_t { kNone, kIn, kOut };

// Status codes of the command protocol (byte 0 of the status answer).
inline constexpr std::uint8_t kStsCmd = 0;
inline constexpr std::uint8_t kStsDataIn = 1;
inline constexpr std::uint8_t kStsDataOut = 2;
inline constexpr std::uint8_t kStsErrDir = 3;
inline constexpr std::uint8_t kStsNotFinish = 4;
inline constexpr std::uint8_t kStsErrLen = 5;
inline constexpr std::uint8_t kStsUnknownSubCmd = 6;
inline constexpr std::uint8_t kStsOutOfRange = 7;
inline constexpr std::uint8_t kStsUnknownCmd = 8;
inline constexpr std::uint8_t kStsHwErr = 9;
inline constexpr std::uint8_t kStsNoErr = 0xFE;

inline constexpr std::uint8_t kClassChip = 0x00;
inline constexpr std::uint8_t kClassStorage = 0x02;
inline constexpr std::uint8_t kClassAbort = 0xFF;

// How the fields p1..p3 of a command block become address, length and extra.
enum class Fields : std::uint8_t {
  kAddr16,       // address p1, length p2
  kAddr32,       // address p1 | p3 << 16, length p2
  kPiece,        // address 8 * p1, length p2 (status pieces)
  kAddrExtra,    // address p1, length p2, extra p3 (OTP mode or test value, I2C slave)
  kAddrLenInP3,  // address p1, length p3
  kValue,        // extra p1 (reset value); length p2 (data-control size)
};

struct XuCommand {
  std::uint8_t commandClass;
  std::uint8_t opcode;
  Op op;
  Fields fields;
};

inline constexpr XuCommand kXuCommands[] = {
    {kClassChip, 0xCD, Op::kGetDevStatus, Fields::kPiece},
    {kClassChip, 0xD0, Op::kDevQualify, Fields::kAddr16},
    {kClassChip, 0x16, Op::kSetDataSize, Fields::kValue},
    {kClassChip, 0x07, Op::kResetToUpdate, Fields::kValue},
    {kClassChip, 0x08, Op::kResetToNewCode, Fields::kValue},
    {kClassChip, 0x09, Op::kResetToRom, Fields::kValue},
    {kClassChip, 0xC1, Op::kReadIMem, Fields::kAddr16},
    {kClassChip, 0xC2, Op::kReadMem, Fields::kAddr16},
    {kClassChip, 0x82, Op::kWriteMem, Fields::kAddr16},
    {kClassChip, 0xC3, Op::kReadCode, Fields::kAddr16},
    {kClassChip, 0xCC, Op::kReadPhy, Fields::kAddr16},
    {kClassChip, 0x8C, Op::kWritePhy, Fields::kAddr16},
    {kClassChip, 0x04, Op::kNorErase, Fields::kAddr16},
    {kClassChip, 0xC5, Op::kNorRead, Fields::kAddr16},
    {kClassChip, 0x85, Op::kNorWrite, Fields::kAddr16},
    {kClassChip, 0x06, Op::kNorWriteTag, Fields::kAddr16},
    {kClassChip, 0xCA, Op::kI2cRegRead, Fields::kAddr32},
    {kClassChip, 0x8A, Op::kI2cRegWrite, Fields::kAddr32},
    {kClassChip, 0xEA, Op::kI2cSlaveRead, Fields::kAddr16},
    {kClassChip, 0xAA, Op::kI2cSlaveWrite, Fields::kAddr16},
    {kClassChip, 0xF1, Op::kI2cRandomRead, Fields::kAddr16},
    {kClassChip, 0xB1, Op::kI2cRandomWrite, Fields::kAddr16},
    {kClassChip, 0xF2, Op::kI2cSuperRead, Fields::kAddr16},
    {kClassChip, 0xB2, Op::kI2cSuperWrite, Fields::kAddr16},
    {kClassChip, 0xF0, Op::kI2cLongRead, Fields::kAddrExtra},
    {kClassChip, 0xB0, Op::kI2cLongWrite, Fields::kAddrExtra},
    {kClassStorage, 0xC1, Op::kSpiReadId, Fields::kAddr16},
    {kClassStorage, 0xC2, Op::kSpiRead, Fields::kAddr32},
    {kClassStorage, 0x82, Op::kSpiWrite, Fields::kAddr32},
    {kClassStorage, 0xC3, Op::kSpiReadSr, Fields::kAddr16},
    {kClassStorage, 0x83, Op::kSpiWriteSr, Fields::kAddr16},
    {kClassStorage, 0x04, Op::kSpiEraseChip, Fields::kAddr16},
    {kClassStorage, 0x05, Op::kSpiEraseSector, Fields::kAddr32},
    {kClassStorage, 0x13, Op::kSpiWriteTag, Fields::kAddr16},
    {kClassStorage, 0xCB, Op::kEep8Read, Fields::kAddr32},
    {kClassStorage, 0x8B, Op::kEep8Write, Fields::kAddr32},
    {kClassStorage, 0xD1, Op::kEep16Read, Fields::kAddr32},
    {kClassStorage, 0x91, Op::kEep16Write, Fields::kAddr32},
    {kClassStorage, 0x97, Op::kOtpWrite, Fields::kAddrExtra},
    {kClassStorage, 0xD7, Op::kOtpRead, Fields::kAddr16},
    {kClassStorage, 0xD8, Op::kOtpBlankCheck, Fields::kAddr16},
    {kClassStorage, 0xDF, Op::kOtpAllBlankCheck, Fields::kAddrLenInP3},
    {kClassStorage, 0xDC, Op::kOtpReadFail, Fields::kAddr16},
    {kClassStorage, 0xD9, Op::kOtpTestDec, Fields::kAddr16},
    {kClassStorage, 0x9A, Op::kOtpWriteTest, Fields::kAddrExtra},
};

// Vendor requests: how wValue and wIndex are read.
enum class Packing : std::uint8_t {
  kGeneral,  // address bits 19..16 and length bits 19..16 in wValue, selector in its low byte
  kPiece,    // status piece index in wValue's low byte
  kValue,    // wValue's low byte is the value, no data
  kCommand,  // the reset by request 1: wValue the value, wIndex the reset command
  kFixed,    // no address; wLength bytes
};

struct VendorRequest {
  std::uint8_t bRequest;
  bool toHost;
  Op op;
  Packing packing;
};

inline constexpr VendorRequest kVendorRequests[] = {
    {0x07, true, Op::kGetDevStatus, Packing::kPiece},
    {0x20, false, Op::kResetToUpdate, Packing::kValue},
    {0x21, false, Op::kResetToNewCode, Packing::kValue},
    {0x22, false, Op::kResetToRom, Packing::kValue},
    {0x01, false, Op::kResetByRequest, Packing::kCommand},
    {0x06, true, Op::kRequest6, Packing::kFixed},
    {0x10, false, Op::kRequest10, Packing::kValue},
    {0x23, true, Op::kReadIMem, Packing::kGeneral},
    {0x25, true, Op::kReadMem, Packing::kGeneral},
    {0x24, false, Op::kWriteMem, Packing::kGeneral},
    {0x26, true, Op::kReadCode, Packing::kGeneral},
    {0x27, true, Op::kReadPhy, Packing::kGeneral},
    {0x28, false, Op::kWritePhy, Packing::kGeneral},
    {0x29, false, Op::kNorErase, Packing::kValue},
    {0x2B, true, Op::kNorRead, Packing::kGeneral},
    {0x2A, false, Op::kNorWrite, Packing::kGeneral},
    {0x2C, false, Op::kNorWriteTag, Packing::kValue},
    {0x2D, true, Op::kSpiReadId, Packing::kFixed},
    {0x2E, true, Op::kSpiRead, Packing::kGeneral},
    {0x2F, false, Op::kSpiWrite, Packing::kGeneral},
    {0x30, true, Op::kSpiReadSr, Packing::kFixed},
    {0x31, false, Op::kSpiWriteSr, Packing::kFixed},
    {0x32, false, Op::kSpiEraseChip, Packing::kValue},
    {0x33, false, Op::kSpiEraseSector, Packing::kGeneral},
    {0x34, false, Op::kSpiWriteTag, Packing::kValue},
    {0x35, true, Op::kEep8Read, Packing::kGeneral},
    {0x36, false, Op::kEep8Write, Packing::kGeneral},
    {0x37, true, Op::kEep16Read, Packing::kGeneral},
    {0x38, false, Op::kEep16Write, Packing::kGeneral},
    {0x39, true, Op::kExtMemRead, Packing::kGeneral},
    {0x3A, false, Op::kExtMemWrite, Packing::kGeneral},
    {0x50, true, Op::kI2cRegRead, Packing::kGeneral},
    {0x51, false, Op::kI2cRegWrite, Packing::kGeneral},
    {0x3D, true, Op::kI2cSlaveRead, Packing::kGeneral},
    {0x3E, false, Op::kI2cSlaveWrite, Packing::kGeneral},
    {0x59, true, Op::kI2cRandomRead, Packing::kGeneral},
    {0x58, false, Op::kI2cRandomWrite, Packing::kGeneral},
};

// A command as the chip carries it out, whichever transport brought it.
struct Request {
  Op op = Op::kGetDevStatus;
  std::uint32_t address = 0;
  std::uint32_t length = 0;  // bytes of the data phase
  std::uint16_t extra = 0;   // reset value, OTP mode, test value, I2C slave, selector
  DataPhase phase = DataPhase::kNone;
};

// The command block's meaning; nothing when the class or opcode is unknown
// (`status` says which).
std::optional<Request> DecodeCommandBlock(const std::uint8_t (&block)[8], std::uint8_t& status);

// The vendor request's meaning; nothing when the chip does not know it.
std::optional<Request> DecodeVendorRequest(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t wValue,
                                           std::uint16_t wIndex, std::uint16_t wLength);

}  // namespace quillon::sim
