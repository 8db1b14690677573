#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "platform/system.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { plat::RegistryClear(); }
  void TearDown() override { plat::RegistryClear(); }
};

DWORD QueryDword(const char16_t* key, const char16_t* name, LONG* rc, DWORD* type = nullptr) {
  HKEY h = nullptr;
  *rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h);
  if (*rc != ERROR_SUCCESS) return 0;
  DWORD v = 0;
  DWORD size = sizeof v;
  *rc = RegQueryValueExW(h, name, nullptr, type, reinterpret_cast<BYTE*>(&v), &size);
  RegCloseKey(h);
  return v;
}

TEST_F(RegistryTest, ValuesSizesAndMissingKeys) {
  ASSERT_TRUE(plat::RegistrySetDword(u"Drivers\\BuiltIn\\NVP", u"PrintTimeout", 800));
  ASSERT_TRUE(plat::RegistrySetString(u"Printers\\Ports", u"DefaultPrintPort", u"COM1:"));

  LONG rc;
  DWORD type = 0;
  // Names ignore case, as on the platform.
  EXPECT_EQ(QueryDword(u"drivers\\builtin\\nvp", u"printtimeout", &rc, &type), 800u);
  EXPECT_EQ(rc, ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  QueryDword(u"Drivers\\BuiltIn\\Missing", u"PrintTimeout", &rc);
  EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
  QueryDword(u"Drivers\\BuiltIn\\NVP", u"NoSuchValue", &rc);
  EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);

  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Printers\\Ports", 0, KEY_READ, &h), ERROR_SUCCESS);
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueExW(h, u"DefaultPrintPort", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 12u);  // "COM1:" and its NUL, two bytes each
  WCHAR small[2];
  DWORD smallSize = sizeof small;
  EXPECT_EQ(RegQueryValueExW(h, u"DefaultPrintPort", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &smallSize),
            ERROR_MORE_DATA);
  EXPECT_EQ(smallSize, 12u);
  WCHAR buf[8] = {};
  DWORD bufSize = sizeof buf;
  ASSERT_EQ(RegQueryValueExW(h, u"DefaultPrintPort", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &bufSize),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(buf), u"COM1:");
  RegCloseKey(h);
}

TEST_F(RegistryTest, DeleteFailsWhileSubkeysExistAndEnumerationFollows) {
  plat::RegistrySetDword(u"System\\GDI\\ClearType\\A", u"x", 1);
  plat::RegistrySetDword(u"System\\GDI\\ClearType\\B\\C", u"x", 1);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"System\\GDI\\ClearType"), ERROR_KEY_HAS_CHILDREN);

  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"System\\GDI\\ClearType", 0, KEY_READ, &h), ERROR_SUCCESS);
  WCHAR name[260];
  DWORD cch = 260;
  ASSERT_EQ(RegEnumKeyExW(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"A");
  cch = 1;  // "B" and its NUL do not fit in one character
  EXPECT_EQ(RegEnumKeyExW(h, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  cch = 260;
  EXPECT_EQ(RegEnumKeyExW(h, 2, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"System\\GDI\\ClearType\\A"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"System\\GDI\\ClearType\\B\\C"), ERROR_SUCCESS);
  // A key relative to an open handle.
  EXPECT_EQ(RegDeleteKeyW(h, u"B"), ERROR_SUCCESS);
  RegCloseKey(h);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"System\\GDI\\ClearType"), ERROR_SUCCESS);
  EXPECT_FALSE(plat::RegistryKeyExists(u"System\\GDI\\ClearType"));
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"System\\GDI\\ClearType"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
}

// Every call on a key's values goes through its handle: a closed handle is
// refused as invalid, a handle whose key was deleted meanwhile finds nothing,
// and neither brings the key back.
TEST_F(RegistryTest, ValueCallsOnAClosedHandleOrADeletedKey) {
  ASSERT_TRUE(plat::RegistrySetDword(u"Printers\\Gone", u"x", 1));
  HKEY deleted = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Printers\\Gone", 0, KEY_READ, &deleted), ERROR_SUCCESS);
  HKEY closed = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Printers", 0, KEY_READ, &closed), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Printers\\Gone"), ERROR_SUCCESS);

  using Call = LONG (*)(HKEY);
  const struct {
    const char* name;
    Call call;
  } calls[] = {
      {"query", [](HKEY h) { return RegQueryValueExW(h, u"x", nullptr, nullptr, nullptr, nullptr); }},
      {"set",
       [](HKEY h) {
         const DWORD v = 2;
         return RegSetValueExW(h, u"x", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
       }},
      {"delete value", [](HKEY h) { return RegDeleteValueW(h, u"x"); }},
      {"enumerate keys",
       [](HKEY h) {
         WCHAR name[16];
         DWORD cch = 16;
         return RegEnumKeyExW(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr);
       }},
      {"enumerate values",
       [](HKEY h) {
         WCHAR name[16];
         DWORD cch = 16;
         return RegEnumValueW(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr);
       }},
  };
  for (const auto& c : calls) {
    EXPECT_EQ(c.call(closed), ERROR_INVALID_HANDLE) << c.name;
    EXPECT_EQ(c.call(deleted), ERROR_FILE_NOT_FOUND) << c.name;
  }
  EXPECT_FALSE(plat::RegistryKeyExists(u"Printers\\Gone"));
  EXPECT_EQ(RegCloseKey(deleted), ERROR_SUCCESS);
}

TEST_F(RegistryTest, RegFileAppliesEveryForm) {
  plat::RegistrySetDword(u"Old\\Key", u"x", 1);
  plat::RegistrySetDword(u"Drivers\\BuiltIn\\NVP", u"Gone", 1);
  const char* text =
      "REGEDIT4\r\n"
      "; settings of the port driver\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\NVP]\r\n"
      "\"PrintTimeout\"=dword:00000320\r\n"
      "\"Dll\"=\"kestarm-300.so\"\r\n"
      "\"Quoted\"=\"a \\\"b\\\" c:\\\\d\"\r\n"
      "\"Bytes\"=hex:01,ff,\\\r\n"
      "  7a\r\n"
      "\"Gone\"=-\r\n"
      "[-HKEY_LOCAL_MACHINE\\Old]\r\n";
  std::string err;
  ASSERT_TRUE(plat::RegistryLoadText(text, "nvp.reg", &err)) << err;
  DWORD v = 0;
  EXPECT_TRUE(plat::RegistryGetDword(u"Drivers\\BuiltIn\\NVP", u"PrintTimeout", &v));
  EXPECT_EQ(v, 800u);
  std::u16string s;
  EXPECT_TRUE(plat::RegistryGetString(u"Drivers\\BuiltIn\\NVP", u"Dll", &s));
  EXPECT_EQ(s, u"kestarm-300.so");
  EXPECT_TRUE(plat::RegistryGetString(u"Drivers\\BuiltIn\\NVP", u"Quoted", &s));
  EXPECT_EQ(s, u"a \"b\" c:\\d");
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\NVP", 0, KEY_READ, &h), ERROR_SUCCESS);
  BYTE bytes[8];
  DWORD size = sizeof bytes;
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueExW(h, u"Bytes", nullptr, &type, bytes, &size), ERROR_SUCCESS);
  RegCloseKey(h);
  EXPECT_EQ(type, REG_BINARY);
  ASSERT_EQ(size, 3u);
  EXPECT_EQ(bytes[0], 0x01);
  EXPECT_EQ(bytes[1], 0xFF);
  EXPECT_EQ(bytes[2], 0x7A);
  EXPECT_FALSE(plat::RegistryGetDword(u"Drivers\\BuiltIn\\NVP", u"Gone", &v));
  EXPECT_FALSE(plat::RegistryKeyExists(u"Old"));
}

TEST_F(RegistryTest, MalformedRegFileIsRefusedWholeWithItsLine) {
  struct Case {
    const char* text;
    int line;
  };
  const Case cases[] = {
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:123456789\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:xyz\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", 2},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n", 2},
      {"REGEDIT4\n\"v\"=dword:1\n", 2},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"unterminated\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:1g\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\" dword:1\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:1\n\njunk\n", 5},
  };
  for (const Case& c : cases) {
    plat::RegistryClear();
    std::string err;
    EXPECT_FALSE(plat::RegistryLoadText(c.text, "bad.reg", &err)) << c.text;
    EXPECT_EQ(err.rfind("bad.reg:" + std::to_string(c.line) + ":", 0), 0u) << err;
    // Nothing of the file is applied, not even the lines before the fault.
    EXPECT_FALSE(plat::RegistryKeyExists(u"A")) << c.text;
  }
  std::string err;
  EXPECT_FALSE(plat::RegistryLoadFile("/nonexistent/file.reg", &err));
  EXPECT_NE(err.find("/nonexistent/file.reg"), std::string::npos);
}

TEST_F(RegistryTest, ValueEnumerationListsStoredNamesInFoldedOrder) {
  plat::RegistrySetDword(u"Drivers\\BuiltIn\\NVP", u"b", 2);
  plat::RegistrySetString(u"Drivers\\BuiltIn\\NVP", u"Apple", u"x");
  plat::RegistrySetDword(u"Drivers\\BuiltIn\\NVP", u"C", 3);
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\NVP", 0, KEY_READ, &h), ERROR_SUCCESS);
  const char16_t* expected[] = {u"Apple", u"b", u"C"};
  for (DWORD i = 0; i < 3; ++i) {
    WCHAR name[16];
    DWORD cch = 16;
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(RegEnumValueW(h, i, name, &cch, nullptr, &type, nullptr, &size), ERROR_SUCCESS) << i;
    EXPECT_EQ(std::u16string(name, cch), expected[i]);
    EXPECT_EQ(size, 4u);  // "x" and its NUL, or a dword
    EXPECT_EQ(type, i == 0 ? REG_SZ : REG_DWORD);
  }
  WCHAR name[16];
  DWORD cch = 16;
  EXPECT_EQ(RegEnumValueW(h, 3, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  // A name that does not fit with its NUL, and data that do not fit.
  cch = 5;
  EXPECT_EQ(RegEnumValueW(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  cch = 16;
  BYTE data[2];
  DWORD size = sizeof data;
  EXPECT_EQ(RegEnumValueW(h, 1, name, &cch, nullptr, nullptr, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);
  BYTE dword[4] = {};
  size = sizeof dword;
  DWORD type = 0;
  ASSERT_EQ(RegEnumValueW(h, 2, name, &cch, nullptr, &type, dword, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(dword[0], 3);
  EXPECT_EQ(RegEnumValueW(h, 0, name, &cch, nullptr, nullptr, dword, nullptr), ERROR_INVALID_PARAMETER);
  RegCloseKey(h);
  EXPECT_EQ(RegEnumValueW(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, RegFileLinesThatWouldSwallowOrMisnameAreHandled) {
  // A comment may end in a backslash (and hold '='): the next line is still
  // a line of its own. A string ending in an escaped backslash is whole.
  const char* text =
      "REGEDIT4\n"
      "; default dir=C:\\\n"
      "[HKEY_LOCAL_MACHINE\\A]\n"
      "\"Dir\"=\"C:\\\\\"\n"
      "\"Next\"=dword:2\n";
  std::string err;
  ASSERT_TRUE(plat::RegistryLoadText(text, "ok.reg", &err)) << err;
  std::u16string s;
  EXPECT_TRUE(plat::RegistryGetString(u"A", u"Dir", &s));
  EXPECT_EQ(s, u"C:\\");
  DWORD v = 0;
  EXPECT_TRUE(plat::RegistryGetDword(u"A", u"Next", &v));
  EXPECT_EQ(v, 2u);

  using namespace std::string_literals;
  struct Case {
    std::string text;
    int line;
  };
  const Case cases[] = {
      // Only backslashes after the root: it names the root, which was
      // accepted and then silently not written.
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\\\]\n\"v\"=dword:1\n", 2},
      {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\\\\\]\n", 2},
      // A NUL would cut the name short where it is handed on.
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\0Y]\n\"v\"=dword:1\n"s, 2},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"v\0w\"=dword:1\n"s, 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n; a\0b\n"s, 3},
  };
  for (const Case& c : cases) {
    plat::RegistryClear();
    plat::RegistrySetDword(u"Keep", u"k", 1);
    err.clear();
    EXPECT_FALSE(plat::RegistryLoadText(c.text, "bad.reg", &err)) << c.text;
    EXPECT_EQ(err.rfind("bad.reg:" + std::to_string(c.line) + ": ", 0), 0u) << err;
    EXPECT_FALSE(plat::RegistryKeyExists(u"X")) << c.text;
    EXPECT_TRUE(plat::RegistryGetDword(u"Keep", u"k", &v));
  }
}

}  // namespace
