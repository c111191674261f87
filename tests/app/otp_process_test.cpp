// OTP chips as a production script sees them: quillon run as its own process
// against a simulated OTP chip, with the console lines, the exit code, the
// transfer log and the OTP's contents afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

using testing::ProcessResult;
using testing::ReadText;

constexpr std::size_t kCodeArea = 16224;

struct OtpWrite {
  std::uint32_t address;
  std::uint32_t length;
  std::uint32_t mode;
  bool operator==(const OtpWrite&) const = default;
};
std::ostream& operator<<(std::ostream& out, const OtpWrite& w) {
  return out << std::hex << "{0x" << w.address << ", " << std::dec << w.length << ", mode " << w.mode << "}";
}

class OtpProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state = (scratch.path() / "chip.state").string();
    trace = (scratch.path() / "wire.log").string();
    image = (home.path() / "TQ7704_OTP.rfw").string();
    std::filesystem::copy_file(testing::BinDir().parent_path() / "demo" / "TQ7704_OTP.rfw", image);
    const std::string bytes = ReadText(image);
    area.assign(bytes.begin(), bytes.end());
    // The demo image: header, version and EEPROM-info records, then a small-cache
    // code record of 1024 data bytes (record length 1032) and the other records.
    total = static_cast<std::size_t>(area[3] | area[4] << 8);
    codeLength = 15 + 1032;
    configLength = total - 1032;
  }

  ProcessResult Quillon(std::vector<std::string> args) {
    const auto settings = scratch.Write("settings.ini", "[Quillon Config]\r\nWait Time=50\r\nSaveResultToFile=1\r\n");
    return testing::RunProgram("quillon", args,
                               {{"QUILLON_HOME", home.path().string()},
                                {"QUILLON_SETTINGS", settings.string()},
                                {"QUILLON_SIM", state},
                                {"QUILLON_SIM_TRACE", trace}},
                               scratch.path());
  }
  ProcessResult Sim(std::vector<std::string> args) {
    return testing::RunProgram("quillon-sim", args, {}, scratch.path());
  }
  void NewOtpChip() { ASSERT_EQ(Sim({"new", state, "--memory", "otp", "--off-bus-ms", "20"}).exitCode, 0); }
  std::vector<std::uint8_t> Otp() {
    const auto file = scratch.path() / "otp.now";
    EXPECT_EQ(Sim({"dump", state, file.string()}).exitCode, 0);
    const std::string bytes = ReadText(file);
    return {bytes.begin(), bytes.end()};
  }
  std::string Console(const std::string& body) { return "\n" + body + home.path().string() + ">"; }
  std::string Show() { return Sim({"show", state}).out; }
  // The OTP write commands of the last run.
  std::vector<OtpWrite> Writes() {
    std::vector<OtpWrite> out;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("21 01 0a00 0300 0008 0297", 0) != 0) continue;
      auto byte = [&](int n) { return static_cast<std::uint32_t>(std::stoul(line.substr(21 + n * 2, 2), nullptr, 16)); };
      out.push_back({byte(2) | byte(3) << 8, byte(4) | byte(5) << 8, byte(6) | byte(7) << 8});
    }
    std::filesystem::remove(trace);
    return out;
  }
  static std::string Usage(std::size_t used, int times) {
    char text[160];
    std::snprintf(text, sizeof text, "Used OTP Space: %0.2f KB\nFree OTP Space: %0.2f KB\nRemaining Programmable Times: %d.",
                  static_cast<float>(used) / 1024.0f, static_cast<float>(kCodeArea - used) / 1024.0f, times);
    return text;
  }
  static std::string Hex(std::size_t address) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04zX", address);
    return hex;
  }
  static std::array<std::uint8_t, 5> Vd(std::uint32_t start, std::uint32_t length, std::uint8_t type) {
    return {static_cast<std::uint8_t>(start >> 8), static_cast<std::uint8_t>(start),
            static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), type};
  }
  static std::array<std::uint8_t, 5> VdOf(const std::vector<std::uint8_t>& otp, int i) {
    std::array<std::uint8_t, 5> e{};
    std::copy_n(otp.begin() + 0x3F70 + 5 * i, 5, e.begin());
    return e;
  }

  testing::TempDir scratch;
  testing::TempDir home;
  std::string state;
  std::string trace;
  std::string image;
  std::vector<std::uint8_t> area;
  std::size_t total = 0;
  std::size_t codeLength = 0;
  std::size_t configLength = 0;
};

TEST_F(OtpProcessTest, WrittenTwiceTheSecondDownloadAppendsAndRetiresTheFirst) {
  NewOtpChip();
  const std::size_t L = codeLength;
  const std::size_t C = configLength;
  const std::size_t once = L + C;

  ProcessResult run = Quillon({"-f", "-detect", image});
  EXPECT_EQ(run.exitCode, 0);
  // Blank: two VD entries a download, and with 4 entries left the next is
  // refused: downloads at 16, 14, 12, 10, 8 and 6 free entries.
  EXPECT_EQ(run.out, Console("Begin to Check OTP Status!\r\n" + Usage(0, 6) + "\r\n"));
  Writes();

  run = Quillon({"-f", "-write", image});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, Console("Begin to Write fw!\r\nWrite fw pass!\r\n"));
  // Both parts' data, the configuration part first, then their entries: the
  // code entry is the download's last write.
  EXPECT_EQ(Writes(), (std::vector<OtpWrite>{{0, static_cast<std::uint32_t>(C), 8},
                                              {static_cast<std::uint32_t>(C), static_cast<std::uint32_t>(L), 8},
                                              {0x3F70, 5, 8},
                                              {0x3F75, 5, 8}}));
  std::vector<std::uint8_t> otp = Otp();
  EXPECT_EQ(VdOf(otp, 0), Vd(0, C, 0xAA));
  EXPECT_EQ(VdOf(otp, 1), Vd(C, L, 0x55));
  EXPECT_NE(Show().find("otp-boot: entry 1 at " + Hex(C) + ", " + std::to_string(L) + " bytes"), std::string::npos)
      << Show();
  EXPECT_NE(Show().find("\notp-config: entry 0 at 0x0000, " + std::to_string(C) + " bytes"), std::string::npos)
      << Show();

  run = Quillon({"-f", "-write", image});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const auto at = static_cast<std::uint32_t>(once);
  EXPECT_EQ(Writes(), (std::vector<OtpWrite>{{at, static_cast<std::uint32_t>(C), 8},
                                              {static_cast<std::uint32_t>(at + C), static_cast<std::uint32_t>(L), 8},
                                              {0x3F7A, 5, 8},
                                              {0x3F7F, 5, 8},
                                              {0x3F74, 1, 8},
                                              {0x3F79, 1, 8}}));
  otp = Otp();
  EXPECT_EQ(VdOf(otp, 0), Vd(0, C, 0xFF));
  EXPECT_EQ(VdOf(otp, 1), Vd(C, L, 0xFF));
  EXPECT_EQ(VdOf(otp, 2), Vd(once, C, 0xAA));
  EXPECT_EQ(VdOf(otp, 3), Vd(once + C, L, 0x55));
  // Both copies of the code part are the image's code record behind its patched header.
  EXPECT_TRUE(
      std::equal(area.begin() + 15, area.begin() + static_cast<std::ptrdiff_t>(L), otp.begin() + once + C + 15));
  EXPECT_EQ(otp[once + C + 2], 21 << 3 | 3);
  EXPECT_NE(Show().find("otp-boot: entry 3 at " + Hex(once + C)), std::string::npos) << Show();
  EXPECT_NE(Show().find("otp-config: entry 2 at " + Hex(once)), std::string::npos) << Show();

  run = Quillon({"-f", "-detect", image});
  EXPECT_EQ(run.out, Console("Begin to Check OTP Status!\r\n" +
                             Usage(2 * once, 4) +
                             "\r\n"));

  // The dump is the image's configuration area again, from the newest blocks.
  const std::string dump = (scratch.path() / "otp.bin").string();
  run = Quillon({"-f", "-dumpotp", dump});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, Console("Begin to Dump OTP!\r\nDump OTP pass!\r\n"));
  std::vector<std::uint8_t> expected(area.begin(), area.begin() + static_cast<std::ptrdiff_t>(total));
  expected[2] = 21 << 3 | 2;
  const std::string dumped = ReadText(dump);
  EXPECT_EQ(std::vector<std::uint8_t>(dumped.begin(), dumped.end()), expected);
}

TEST_F(OtpProcessTest, BadCellsAreCorrectedAndTheDumpCarriesTheCorrection) {
  NewOtpChip();
  // Two cells of the code record's data that need bits (area offsets; the code
  // part lies behind the configuration part).
  std::vector<std::size_t> bad;
  for (std::size_t a = 200; bad.size() < 2; a += 97) {
    if (area[a] != 0) bad.push_back(a);
  }
  const std::size_t codeAt = configLength;
  ASSERT_EQ(Sim({"fault", state, "otp-fail", std::to_string(codeAt + bad[0]) + "," + std::to_string(codeAt + bad[1])})
                .exitCode,
            0);
  ProcessResult run = Quillon({"-f", "-write", image});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::vector<OtpWrite> writes = Writes();
  ASSERT_GE(writes.size(), 4u);
  EXPECT_EQ(writes[1], (OtpWrite{static_cast<std::uint32_t>(codeAt), static_cast<std::uint32_t>(codeLength), 8}));
  EXPECT_EQ(writes[2], (OtpWrite{0x3FC0, 4, 8}));
  EXPECT_EQ(writes[3], (OtpWrite{0x3FC4, 4, 8}));
  const std::vector<std::uint8_t> otp = Otp();
  for (int n = 0; n < 2; ++n) {
    const std::size_t cell = codeAt + bad[n];
    EXPECT_EQ(otp[cell], 0x00);
    EXPECT_EQ(std::vector<std::uint8_t>(otp.begin() + 0x3FC0 + 4 * n, otp.begin() + 0x3FC4 + 4 * n),
              (std::vector<std::uint8_t>{static_cast<std::uint8_t>(cell >> 8), static_cast<std::uint8_t>(cell),
                                         area[bad[n]], 0x5A}));
  }
  const std::string dump = (scratch.path() / "otp.bin").string();
  run = Quillon({"-f", "-dumpotp", dump});
  const std::string dumped = ReadText(dump);
  ASSERT_EQ(dumped.size(), total);
  EXPECT_EQ(static_cast<std::uint8_t>(dumped[bad[0]]), area[bad[0]]);
  EXPECT_EQ(static_cast<std::uint8_t>(dumped[bad[1]]), area[bad[1]]);
}

TEST_F(OtpProcessTest, AReservedEntryBehindABlankOneIsTheOneCompleted) {
  NewOtpChip();
  // A byte of the code record, reserved in ECC entry 2 while entry 1 is blank.
  std::size_t x = 200;
  while (area[x] == 0) ++x;
  const std::size_t cell = configLength + x;
  std::vector<std::uint8_t> before(0x4000, 0);
  const std::array<std::uint8_t, 4> reserved{static_cast<std::uint8_t>(cell >> 8), static_cast<std::uint8_t>(cell), 0,
                                             0x5A};
  std::copy(reserved.begin(), reserved.end(), before.begin() + 0x3FC4);
  const auto file = scratch.path() / "before.bin";
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(before.data()), 0x4000);
  ASSERT_EQ(Sim({"load", state, file.string()}).exitCode, 0);

  ProcessResult run = Quillon({"-f", "-write", image});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, Console("Begin to Write fw!\r\nWrite fw pass!\r\n"));
  const std::vector<std::uint8_t> otp = Otp();
  EXPECT_EQ(std::vector<std::uint8_t>(otp.begin() + 0x3FC0, otp.begin() + 0x3FC4), (std::vector<std::uint8_t>(4, 0)))
      << "the blank entry stays free";
  EXPECT_EQ(std::vector<std::uint8_t>(otp.begin() + 0x3FC4, otp.begin() + 0x3FC8),
            (std::vector<std::uint8_t>{reserved[0], reserved[1], area[x], 0x5A}));
  EXPECT_EQ(VdOf(otp, 1), Vd(configLength, codeLength, 0x55));
  // Read back with the table applied, the chip holds the image.
  const std::string dump = (scratch.path() / "otp.bin").string();
  EXPECT_EQ(Quillon({"-f", "-dumpotp", dump}).exitCode, 0);
  const std::string dumped = ReadText(dump);
  ASSERT_EQ(dumped.size(), total);
  EXPECT_EQ(static_cast<std::uint8_t>(dumped[x]), area[x]);
}

TEST_F(OtpProcessTest, LockedOtpAndBlankOtpFailAndChangeNothing) {
  NewOtpChip();
  ASSERT_EQ(Sim({"fault", state, "otp-lock"}).exitCode, 0);
  ProcessResult run = Quillon({"-f", "-write", image});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, Console("Begin to Write fw!\r\nWrite fw fail!\r\n"));
  EXPECT_EQ(ReadText(home.path() / "Result.txt"), "fail");
  EXPECT_TRUE(Writes().empty());
  const std::vector<std::uint8_t> otp = Otp();
  EXPECT_TRUE(std::all_of(otp.begin(), otp.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_NE(Show().find("otp-boot: none\notp-config: none\n"), std::string::npos) << Show();

  const std::string dump = (scratch.path() / "otp.bin").string();
  run = Quillon({"-f", "-dumpotp", dump});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, Console("Begin to Dump OTP!\r\nDump OTP fail!\r\n"));
  EXPECT_FALSE(std::filesystem::exists(dump));
}

}  // namespace
}  // namespace quillon
