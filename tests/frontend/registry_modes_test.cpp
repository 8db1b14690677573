// The default device mode and the registry tree removal used at device enable.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frontend/frontend.h"
#include "platform/registry.h"

namespace {

class RegistryTree : public ::testing::Test {
 protected:
  void SetUp() override { plat::RegistryClear(); }
  void TearDown() override { plat::RegistryClear(); }
};

TEST_F(RegistryTree, NestedTreeIsRemovedAndSiblingsStay) {
  ASSERT_TRUE(plat::RegistrySetDword(u"System\\GDI\\ClearType", u"Enabled", 1));
  ASSERT_TRUE(plat::RegistrySetDword(u"System\\GDI\\ClearType\\A\\B\\C", u"x", 1));
  ASSERT_TRUE(plat::RegistrySetDword(u"System\\GDI\\ClearType\\A\\B2", u"x", 1));
  ASSERT_TRUE(plat::RegistrySetDword(u"System\\GDI\\ClearType\\Z", u"x", 1));
  ASSERT_TRUE(plat::RegistrySetDword(u"System\\GDI\\ClearTypeKeep", u"x", 1));
  ASSERT_TRUE(plat::RegistrySetDword(u"System\\GDI\\Other\\Deep", u"x", 1));

  EXPECT_TRUE(DeleteRegKeyTree(HKEY_LOCAL_MACHINE, u"System\\GDI\\ClearType"));
  EXPECT_FALSE(plat::RegistryKeyExists(u"System\\GDI\\ClearType"));
  EXPECT_TRUE(plat::RegistryKeyExists(u"System\\GDI"));
  EXPECT_TRUE(plat::RegistryKeyExists(u"System\\GDI\\ClearTypeKeep"));
  EXPECT_TRUE(plat::RegistryKeyExists(u"System\\GDI\\Other\\Deep"));
}

TEST_F(RegistryTree, MissingKeyCountsAsRemoved) {
  EXPECT_TRUE(DeleteRegKeyTree(HKEY_LOCAL_MACHINE, u"System\\GDI\\ClearType"));
  ASSERT_TRUE(plat::RegistrySetDword(u"System\\GDI", u"x", 1));
  EXPECT_TRUE(DeleteRegKeyTree(HKEY_LOCAL_MACHINE, u"System\\GDI\\ClearType"));
  EXPECT_TRUE(plat::RegistryKeyExists(u"System\\GDI"));
}

TEST_F(RegistryTree, TrailingSeparatorIsAccepted) {
  ASSERT_TRUE(plat::RegistrySetDword(u"T\\K\\Sub\\Sub2", u"x", 1));
  EXPECT_TRUE(DeleteRegKeyTree(HKEY_LOCAL_MACHINE, u"T\\K\\"));
  EXPECT_FALSE(plat::RegistryKeyExists(u"T\\K"));
  EXPECT_TRUE(plat::RegistryKeyExists(u"T"));
}

// Paths that would not fit the 520-character working path are refused
// without harm: the part of the tree that fits is left as it was around
// the deep branch, and nothing outside the tree is touched.
TEST_F(RegistryTree, TreeTooDeepForTheWorkingPathIsRefused) {
  std::u16string deep = u"Deep";
  const std::u16string segment(200, u'n');
  std::u16string path = deep;
  for (int i = 0; i < 3; ++i) path += u"\\" + segment;  // 4 + 3 * 201 = 607 characters
  ASSERT_TRUE(plat::RegistrySetDword(path, u"x", 1));
  ASSERT_TRUE(plat::RegistrySetDword(u"Deep\\zz", u"x", 1));

  EXPECT_FALSE(DeleteRegKeyTree(HKEY_LOCAL_MACHINE, u"Deep"));
  EXPECT_TRUE(plat::RegistryKeyExists(u"Deep"));
  EXPECT_TRUE(plat::RegistryKeyExists(path));

  // A path longer than the working buffer is refused before anything.
  const std::u16string tooLong(600, u'k');
  EXPECT_FALSE(DeleteRegKeyTree(HKEY_LOCAL_MACHINE, tooLong.c_str()));
  // So are no path and the empty path (which would name the root).
  EXPECT_FALSE(DeleteRegKeyTree(HKEY_LOCAL_MACHINE, nullptr));
  EXPECT_FALSE(DeleteRegKeyTree(HKEY_LOCAL_MACHINE, u""));
  EXPECT_TRUE(plat::RegistryKeyExists(u"Deep\\zz"));
}

TEST(DrvGetModes, SizesAndTheDefaultDeviceMode) {
  EXPECT_EQ(DrvGetModes(nullptr, 0, nullptr), 192u);
  EXPECT_EQ(DrvGetModes(nullptr, 1000, nullptr), 192u);

  for (ULONG wrong : {0u, 191u, 193u, 384u}) {
    DEVMODEW dm;
    std::memset(&dm, 0xA5, sizeof dm);
    EXPECT_EQ(DrvGetModes(nullptr, wrong, &dm), 0u) << wrong;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&dm);
    for (size_t i = 0; i < sizeof dm; ++i) ASSERT_EQ(bytes[i], 0xA5) << "size " << wrong << " wrote byte " << i;
  }

  DEVMODEW dm;
  std::memset(&dm, 0xA5, sizeof dm);
  ASSERT_EQ(DrvGetModes(nullptr, 192, &dm), 192u);
  DEVMODEW expected;
  std::memset(&expected, 0, sizeof expected);
  std::char_traits<char16_t>::copy(expected.dmDeviceName, u"Norv Kest", 10);
  expected.dmSpecVersion = 0x0400;
  expected.dmSize = 192;
  expected.dmOrientation = 1;
  expected.dmPaperSize = 13;
  expected.dmCopies = 1;
  expected.dmPrintQuality = -4;
  expected.dmColor = 1;
  expected.dmBitsPerPel = 24;
  EXPECT_EQ(std::memcmp(&dm, &expected, sizeof dm), 0);
  EXPECT_EQ(dm.dmDriverVersion, 0);
  EXPECT_EQ(dm.dmFields, 0u);
}

}  // namespace
