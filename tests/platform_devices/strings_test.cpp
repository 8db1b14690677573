// String comparison of the stand-in.
#include <gtest/gtest.h>

#include "platform/devices.h"
#include "platform/system.h"

namespace {

TEST(CompareStringW, CountsCaseAndOrder) {
  struct Case {
    const char16_t* a;
    int na;
    const char16_t* b;
    int nb;
    DWORD flags;
    int expected;
  } cases[] = {
      {u"lpt1:", 3, u"LPT", 3, NORM_IGNORECASE, CSTR_EQUAL},
      {u"Com1:9600", 3, u"COM", 3, NORM_IGNORECASE, CSTR_EQUAL},
      {u"com", 3, u"COM", 3, 0, CSTR_GREATER_THAN},
      {u"COM", -1, u"COM1", -1, NORM_IGNORECASE, CSTR_LESS_THAN},
      {u"COM1", -1, u"COM", -1, NORM_IGNORECASE, CSTR_GREATER_THAN},
      {u"LP", 3, u"LPT", 3, NORM_IGNORECASE, CSTR_LESS_THAN},  // a count never reads past the NUL
      {u"USB", 3, u"LPT", 3, NORM_IGNORECASE, CSTR_GREATER_THAN},
      {u"ABC", 0, u"XYZ", 0, 0, CSTR_EQUAL},
      {u"\u00e9t", -1, u"\u00c9T", -1, NORM_IGNORECASE, CSTR_EQUAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(plat::ToUtf8(c.a) + " vs " + plat::ToUtf8(c.b));
    EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, c.flags, c.a, c.na, c.b, c.nb), c.expected);
  }
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, 0, nullptr, 3, u"LPT", 3), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, 0x80, u"A", 1, u"A", 1), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
}

}  // namespace
