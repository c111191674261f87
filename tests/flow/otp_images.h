// The 16 KB OTP images the OTP tests program: the demo layout, with or
// without a small-cache code record.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "image_maker.h"

namespace quillon::testing {

// `adjust` changes the image description further (another version or serial string, say).
inline std::vector<std::uint8_t> OtpImage(std::optional<std::size_t> smallCache,
                                          const std::function<void(mkimage::ImageSpec&)>& adjust = {}) {
  mkimage::ImageSpec spec;
  spec.memory = mkimage::Memory::Otp;
  spec.configAt = 0;
  spec.size = 0x4000;
  spec.smallCache = smallCache;
  if (adjust) adjust(spec);
  std::string error;
  auto made = mkimage::MakeImage(spec, &error);
  EXPECT_TRUE(made) << error;
  return made.value_or(std::vector<std::uint8_t>{});
}

}  // namespace quillon::testing
