// Writing a serial number into an image's configuration area: the area at
// "ConfigAddress" is rebuilt with the serial-number string record replaced (or
// added) and every other record carried over. An area at offset 0 (an
// EEPROM's) is followed by the image's code: the rebuilt area replaces only
// the old area's bytes and grows only into erased (0xFF) bytes after it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "data/config_image.h"

namespace quillon {

// The chip's serial-number string is shown and recorded as text: only
// printable ASCII (0x20 to 0x7E) reads back the same in the chip, the records
// and the listings. One line for the operator naming the first byte it cannot
// carry; nothing when every byte is printable.
std::optional<std::string> SerialTextProblem(std::string_view text);

// `text` on one line whatever it holds: bytes outside printable ASCII as \xNN.
std::string EscapedSerial(std::string_view text);

// Rewrites the area of `image` with `text` in the string record of
// `recordType` (1 or 3). With `snFunction` and type 3 the character U+0007
// goes in front of the text. A text SerialTextProblem names is refused. On success `newTotalLength` (when not null) is the
// new area's total length. On failure the image is unchanged.
bool WriteSerialRecord(const AreaContext& context, std::span<std::uint8_t> image, std::string_view text,
                       std::uint8_t recordType, bool snFunction, std::uint16_t* newTotalLength);

// The same with the record type chosen by "SN Address" (0: type 1, else 3)
// and "SN Function".
bool WriteSerialRecord(const AreaContext& context, std::span<std::uint8_t> image, std::string_view text,
                       std::uint16_t* newTotalLength);

}  // namespace quillon
