#include "data/ic_type_ini.h"

#include <gtest/gtest.h>

#include <optional>

#include "data/current_types.h"
#include "data/settings.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

// Tries the profiles in order, as the discovery does for a connected chip.
struct Match {
  int index;
  std::uint8_t chip;
  std::string icName;
};
std::optional<Match> FindProfile(std::uint8_t reg1, std::uint8_t reg2) {
  for (int index = 0; index < 3; ++index) {
    CICTypeIni profile;
    profile.BuildProfileList();
    if (profile.SelectProfileAndMatch(reg1, reg2, index)) {
      profile.ReadIcName();
      return Match{index, profile.ChipInfo(), profile.IcName()};
    }
  }
  return std::nullopt;
}

TEST(IcProfileTest, RegisterBytesSelectTheProfileAndChipCode) {
  struct Case {
    std::uint8_t reg1, reg2;
    int index;  // -1: no profile
    std::uint8_t chip;
  };
  const Case cases[] = {
      {0x00, 0x00, 0, 17}, {0x10, 0x70, 0, 17}, {0x10, 0xB0, 1, 21}, {0x10, 0xF0, 2, 24},
      {0x10, 0xC0, 2, 24}, {0x10, 0x30, -1, 0},  {0x20, 0xB0, -1, 0}, {0xB0, 0x10, -1, 0},
  };
  for (const Case& c : cases) {
    auto match = FindProfile(c.reg1, c.reg2);
    SCOPED_TRACE(::testing::Message() << std::hex << int(c.reg1) << "/" << int(c.reg2));
    if (c.index < 0) {
      EXPECT_FALSE(match);
      continue;
    }
    ASSERT_TRUE(match);
    EXPECT_EQ(match->index, c.index);
    EXPECT_EQ(match->chip, c.chip);
  }
}

TEST(IcProfileTest, MatchKeepsTheRegistersAndTheSectionsChipCode) {
  CICTypeIni profile;
  profile.BuildProfileList();
  ASSERT_TRUE(profile.SelectProfileAndMatch(0x10, 0xC0, 2));
  EXPECT_EQ(profile.MatchedRegister1(), 0x10);
  EXPECT_EQ(profile.MatchedRegister2(), 0xC0);
  EXPECT_EQ(profile.ChipInfo(), 24);
  CICTypeIni fresh;
  EXPECT_EQ(fresh.MatchedRegister1(), 0xFF);
  EXPECT_FALSE(fresh.MatchIcRegisters(0xFF, 0xFF));
  EXPECT_EQ(fresh.MatchedRegister2(), 0xFF);
}

TEST(IcProfileTest, BuiltInProfilesCarryTheirValues) {
  struct Row {
    int index;
    const char* icName;
    int defaultImage;
    std::uint32_t configAddress, configSize, tagAddress;
    std::uint8_t chip;
  };
  const Row rows[] = {
      {0, "TQ7702", 3012, 0xAE00, 512, 0xEFFE, 17},
      {1, "TQ7704", 3018, 0xF000, 4096, 0xEFFE, 21},
      {2, "TQ7704", 3020, 0xF000, 4096, 0xEFFE, 24},  // the TQ7724 profile names itself TQ7704
  };
  for (const Row& row : rows) {
    CICTypeIni profile;
    profile.BuildProfileList();
    profile.SelectProfile(row.index);
    profile.ReadProfileHeader();
    EXPECT_EQ(profile.IcName(), row.icName);
    int image = 0;
    EXPECT_TRUE(profile.GetDefaultFirmwareId(&image));
    EXPECT_EQ(image, row.defaultImage);
    std::uint32_t address = 0, size = 0, tag = 0;
    EXPECT_TRUE(profile.GetVendorInfo("ConfigAddress", &address));
    EXPECT_TRUE(profile.GetConfigSize(&size));
    EXPECT_TRUE(profile.GetVendorInfo("TagAddress", &tag));
    EXPECT_EQ(address, row.configAddress);
    EXPECT_EQ(size, row.configSize);
    EXPECT_EQ(tag, row.tagAddress);
    std::uint8_t chip = 0xFF;
    profile.GetChipInfo(chip);
    EXPECT_EQ(chip, row.chip);
    EXPECT_EQ(profile.GetString(kConfigSection, "Project Type", ""), "FLASH");
  }
  EXPECT_FALSE(CICTypeIni().GetConfigSize(nullptr));
}

TEST(IcProfileTest, BuiltInModeStartsWithTheDefaultProfile) {
  SetStoredIniType(0);
  auto profile = OpenProfileDocument();
  EXPECT_EQ(profile->ProfileList(), (std::vector<std::string>{"TQ7702.INI", "TQ7704.INI", "TQ7724.INI"}));
  EXPECT_EQ(profile->CurrentName(), "TQ7704.INI");
  EXPECT_EQ(profile->IcName(), "TQ7704");
  EXPECT_EQ(CurrentBusType(), BusType::Usb);

  CICTypeIni unknown;
  unknown.SetCurrentName("OTHER.INI");
  unknown.LoadCurrentProfile();
  unknown.ReadIcName();
  EXPECT_EQ(unknown.IcName(), "TQ7702") << "an unknown name loads the first profile";

  CICTypeIni pastEnd;
  pastEnd.SelectProfile(3);
  EXPECT_TRUE(pastEnd.SectionNames().empty());
}

TEST(IcProfileTest, BuiltinFirmwareIdsNeedAProfileList) {
  CICTypeIni profile;
  int id = 77;
  profile.GetBuiltinFirmwareId("FFU_3A7C_0011", &id);
  EXPECT_EQ(id, 0) << "empty list";
  profile.BuildProfileList();
  profile.GetBuiltinFirmwareId("FFU_3A7C_0022", &id);
  EXPECT_EQ(id, 3022);
  profile.GetBuiltinFirmwareId("FFU_1234_5678", &id);
  EXPECT_EQ(id, 3022) << "an unknown name leaves the value";
}

class FileModeTest : public ::testing::Test {
 protected:
  void SetUp() override { SetStoredIniType(1); }
  void TearDown() override {
    SetStoredIniType(0);
    SetCurrentBusType(BusType::Usb);
  }
  testing::TempDir dir;
  testing::ScopedEnv home{"QUILLON_HOME", dir.path().string()};
};

constexpr const char* kMipiProfile =
    "[Quillon Config]\r\nBus Type=MIPI\r\nIc Name=TQ9000\r\nDef Bin=FFU_7724\r\n"
    "[Camera_Register_03]\r\nICRegister1=0x20\r\nICRegister2=0x40\r\nChipInfo=9\r\n";

TEST_F(FileModeTest, ListHoldsUpperCasedNamesAndPrefersTq7704) {
  dir.Write("b.ini", kMipiProfile);
  dir.Write("tq7704.ini", "[Quillon Config]\r\nIc Name=FromFile\r\n");
  dir.Write("config.ini", "[Quillon Config]\r\n");
  dir.Write("Readme.txt", "");
  auto profile = OpenProfileDocument();
  EXPECT_EQ(profile->ProfileList(), (std::vector<std::string>{"B.INI", "TQ7704.INI"}));
  EXPECT_EQ(profile->CurrentName(), "TQ7704.INI");
  EXPECT_EQ(profile->IcName(), "FromFile") << "the upper-cased name maps back to the real file";
}

TEST_F(FileModeTest, WithoutTq7704TheFirstEntryIsLoaded) {
  dir.Write("b.ini", kMipiProfile);
  dir.Write("c.INI", "[Quillon Config]\r\nIc Name=C\r\n");
  auto profile = OpenProfileDocument();
  EXPECT_EQ(profile->CurrentName(), "B.INI");
  EXPECT_EQ(profile->IcName(), "TQ9000");
  EXPECT_EQ(CurrentBusType(), BusType::Mipi);
  int image = 0;
  EXPECT_TRUE(profile->GetDefaultFirmwareId(&image));
  EXPECT_EQ(image, 3020);
  EXPECT_TRUE(profile->SelectProfileAndMatch(0x20, 0x40, 0));
  EXPECT_EQ(profile->ChipInfo(), 9);
  profile->SelectProfile(5);
  EXPECT_EQ(profile->CurrentName(), "");
}

TEST_F(FileModeTest, OnlyConfigIniLeavesTheProfileEmpty) {
  dir.Write("config.ini", "[Quillon Config]\r\nDef Bin=FFU_7704\r\n");
  auto profile = OpenProfileDocument();
  EXPECT_TRUE(profile->ProfileList().empty());
  EXPECT_EQ(profile->CurrentName(), "");
  EXPECT_FALSE(profile->MatchIcRegisters(0x10, 0xB0));
  int image = 0;
  EXPECT_FALSE(profile->GetDefaultFirmwareId(&image));
}

TEST_F(FileModeTest, UnknownBusTypeLeavesTheCurrentOne) {
  dir.Write("a.ini", "[Quillon Config]\r\nBus Type=SPI\r\n");
  SetCurrentBusType(BusType::Pcie);
  OpenProfileDocument();
  EXPECT_EQ(CurrentBusType(), BusType::Pcie);
}

}  // namespace
}  // namespace quillon
