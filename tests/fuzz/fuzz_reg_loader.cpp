// libFuzzer entry for the REGEDIT4 loader. Two kinds of input:
// - text, loaded as it is: a refused file leaves the registry exactly as it
//   was and says "<name>:<line>: <reason>"; an accepted file loaded a second
//   time leaves the registry as the first load left it;
// - 0x01 followed by a script of keys, values, deletions and comments: the
//   script is written out as a file in every form the loader reads (escapes,
//   hex split over lines, comments, CRLF, spaces around '='), which must load
//   and give exactly the keys and values the script describes.
// The registry is cleared before each input, so inputs do not depend on each
// other and memory stays flat.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "platform/system.h"
#include "tests/fuzz/byte_reader.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_reg_loader: %s\n%s\n", what, detail.c_str());
  std::abort();
}

// --- the registry as seen through the API, as one comparable string ---

void Put(std::u16string& out, std::u16string_view s) {
  out += static_cast<char16_t>(s.size() & 0xFFFF);
  out += static_cast<char16_t>(s.size() >> 16);
  out += s;
}

void PutValue(std::u16string& out, std::u16string_view name, DWORD type, const std::vector<BYTE>& data) {
  out += u'V';
  Put(out, name);
  out += static_cast<char16_t>(type & 0xFFFF);
  out += static_cast<char16_t>(type >> 16);
  std::u16string bytes(data.begin(), data.end());
  Put(out, bytes);
}

// Values of the key first, then each subkey with its full stored path and
// everything below it: the order in which the registry enumerates.
void Walk(HKEY key, const std::u16string& path, std::u16string& out) {
  std::vector<char16_t> name(64);
  for (DWORD i = 0;;) {
    DWORD cch = static_cast<DWORD>(name.size());
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegEnumValueW(key, i, name.data(), &cch, nullptr, &type, nullptr, &size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_MORE_DATA) {
      name.resize(name.size() * 2);
      continue;
    }
    if (rc != ERROR_SUCCESS) Fail("RegEnumValueW failed on a listed key");
    std::u16string valueName(name.data(), cch);
    if (valueName.find(u'\0') != std::u16string::npos) Fail("a value name holds a NUL: the API cannot reach it");
    std::vector<BYTE> data(size);
    DWORD got = size;
    DWORD type2 = 0;
    cch = static_cast<DWORD>(name.size());
    if (RegEnumValueW(key, i, name.data(), &cch, nullptr, &type2, data.data(), &got) != ERROR_SUCCESS || got != size ||
        type2 != type) {
      Fail("RegEnumValueW gives another value the second time");
    }
    // What the enumeration lists must also be found by its name.
    DWORD qtype = 0;
    DWORD qsize = 0;
    if (RegQueryValueExW(key, valueName.c_str(), nullptr, &qtype, nullptr, &qsize) != ERROR_SUCCESS ||
        qtype != type || qsize != size) {
      Fail("a listed value cannot be queried by its name");
    }
    PutValue(out, valueName, type, data);
    ++i;
  }
  for (DWORD i = 0;;) {
    DWORD cch = static_cast<DWORD>(name.size());
    LONG rc = RegEnumKeyExW(key, i, name.data(), &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_MORE_DATA) {
      name.resize(name.size() * 2);
      continue;
    }
    if (rc != ERROR_SUCCESS) Fail("RegEnumKeyExW failed on a listed key");
    std::u16string child(name.data(), cch);
    if (child.find(u'\0') != std::u16string::npos) Fail("a key name holds a NUL: the API cannot reach it");
    std::u16string childPath = path.empty() ? child : path + u"\\" + child;
    HKEY sub = nullptr;
    if (RegOpenKeyExW(key, child.c_str(), 0, KEY_READ, &sub) != ERROR_SUCCESS) {
      Fail("a listed subkey cannot be opened by its name", plat::ToUtf8(childPath));
    }
    out += u'K';
    Put(out, childPath);
    Walk(sub, childPath, out);
    RegCloseKey(sub);
    ++i;
  }
}

std::u16string Snapshot() {
  std::u16string out;
  Walk(HKEY_LOCAL_MACHINE, u"", out);
  return out;
}

// Settings a system image would carry, so that a refused file has something
// to leave alone.
void LoadBaseline() {
  plat::RegistryClear();
  plat::RegistrySetDword(u"Drivers\\BuiltIn\\NVP", u"PrintTimeout", 800);
  plat::RegistrySetString(u"Drivers\\BuiltIn\\NVP", u"Dll", u"kestarm-300.so");
  plat::RegistrySetString(u"Printers\\Ports", u"DefaultPrintPort", u"COM1:");
  const BYTE blob[] = {0x00, 0x5C, 0x22, 0xFF};
  plat::RegistrySetBinary(u"Fuzz\\Keep", u"", REG_BINARY, blob, sizeof blob);
}

// "fuzz.reg:<line>: <reason>" with a line inside the file.
void CheckRefusal(std::string_view text, const std::string& error) {
  const std::string prefix = "fuzz.reg:";
  if (error.compare(0, prefix.size(), prefix) != 0) Fail("refusal without the file name", error);
  size_t p = prefix.size();
  size_t line = 0;
  size_t digits = 0;
  while (p < error.size() && error[p] >= '0' && error[p] <= '9' && digits < 10) {
    line = line * 10 + static_cast<size_t>(error[p] - '0');
    ++p;
    ++digits;
  }
  size_t lines = 1;
  for (char c : text) lines += c == '\n';
  if (digits == 0 || line < 1 || line > lines) Fail("refusal without a line of the file", error);
  if (error.compare(p, 2, ": ") != 0 || error.size() <= p + 2) Fail("refusal without a reason", error);
}

void FuzzText(std::string_view text) {
  LoadBaseline();
  static const std::u16string before = Snapshot();  // the same baseline every time
  std::string error;
  if (!plat::RegistryLoadText(text, "fuzz.reg", &error)) {
    CheckRefusal(text, error);
    if (Snapshot() != before) Fail("a refused file changed the registry", error);
    return;
  }
  const std::u16string once = Snapshot();
  if (!plat::RegistryLoadText(text, "fuzz.reg", &error)) Fail("an accepted file is refused the second time", error);
  if (Snapshot() != once) Fail("loading an accepted file twice differs from loading it once");
}

// --- scripts written out as files, against a model of the registry ---

std::u16string Fold(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return out;
}

struct ModelKey {
  std::u16string name;
  std::map<std::u16string, std::unique_ptr<ModelKey>> children;
  std::map<std::u16string, std::pair<std::u16string, std::pair<DWORD, std::vector<BYTE>>>> values;
};

ModelKey* ModelCreate(ModelKey* root, const std::vector<std::u16string>& parts) {
  ModelKey* k = root;
  for (const auto& p : parts) {
    auto& slot = k->children[Fold(p)];
    if (!slot) {
      slot = std::make_unique<ModelKey>();
      slot->name = p;
    }
    k = slot.get();
  }
  return k;
}

ModelKey* ModelFind(ModelKey* root, const std::vector<std::u16string>& parts) {
  ModelKey* k = root;
  for (const auto& p : parts) {
    auto it = k->children.find(Fold(p));
    if (it == k->children.end()) return nullptr;
    k = it->second.get();
  }
  return k;
}

void ModelDeleteTree(ModelKey* root, const std::vector<std::u16string>& parts) {
  std::vector<std::u16string> parent(parts.begin(), parts.end() - 1);
  if (ModelKey* k = ModelFind(root, parent)) k->children.erase(Fold(parts.back()));
}

void ModelWalk(const ModelKey& key, const std::u16string& path, std::u16string& out) {
  for (const auto& [folded, v] : key.values) PutValue(out, v.first, v.second.first, v.second.second);
  for (const auto& [folded, child] : key.children) {
    std::u16string childPath = path.empty() ? child->name : path + u"\\" + child->name;
    out += u'K';
    Put(out, childPath);
    ModelWalk(*child, childPath, out);
  }
}

using fuzzing::Reader;

// Key name parts and characters of names and strings: the ones the file
// syntax gives a meaning to, white space, and multi-byte UTF-8.
constexpr const char* kKeyParts[] = {"Drivers", "BuiltIn", "NVP", "Printers", "Ports", "a b", "x=y",
                                     "semi;colon", "[br]", "q\"uote", "\xC3\xBC", "\xE2\x82\xAC-key"};
constexpr const char* kChars[] = {"a", "Z", "0", " ", "\"", "\\", "=", ";", "[", "]", "-", "@", ",",
                                  "\t", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "#", ":", "x"};

std::string Text(Reader& r, size_t maxLen) {
  std::string s;
  const size_t n = r.byte() % (maxLen + 1);
  for (size_t i = 0; i < n; ++i) s += kChars[r.byte() % std::size(kChars)];
  return s;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

std::string CaseVariant(std::string s, uint8_t how) {
  for (char& c : s) {
    if (how & 1) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (how & 2) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return s;
}

std::vector<BYTE> Utf16Bytes(const std::string& utf8) {
  std::vector<BYTE> out;
  for (char16_t c : plat::FromUtf8(utf8)) {
    out.push_back(static_cast<BYTE>(c & 0xFF));
    out.push_back(static_cast<BYTE>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

void FuzzScript(const uint8_t* data, size_t size) {
  Reader r(data, size);
  const uint8_t style = r.byte();
  const std::string eol = (style & 1) ? "\r\n" : "\n";
  std::string file;
  if (style & 2) file += "\xEF\xBB\xBF";
  if (!(style & 4)) file += "REGEDIT4" + eol + eol;
  const std::string eq = (style & 8) ? " = " : "=";

  ModelKey model;
  std::vector<std::u16string> current;  // empty: no key selected
  int ops = 0;
  while (r.more() && ops++ < 64) {
    const uint8_t op = r.byte();
    const int kind = op % 8;
    if (kind == 0 || kind == 6 || current.empty()) {
      if (kind == 7) {
        // Comments and blank lines may come before any key.
        file += (op & 0x10 ? "; " : "# ") + Text(r, 12) + (op & 0x20 ? "=\\" : "") + eol;
        continue;
      }
      // Select a key (kind 6: delete one) of one to three parts.
      const int depth = 1 + (r.byte() % 3);
      std::vector<std::u16string> parts;
      std::string path = "HKEY_LOCAL_MACHINE";
      for (int i = 0; i < depth; ++i) {
        const std::string part = CaseVariant(kKeyParts[r.byte() % std::size(kKeyParts)], r.byte());
        // Empty parts (doubled or trailing backslashes) are skipped.
        path += (r.byte() % 8 == 0 ? "\\\\" : "\\") + part;
        if (i + 1 == depth && r.byte() % 8 == 0) path += "\\";
        parts.push_back(plat::FromUtf8(part));
      }
      if (kind == 6) {
        file += "[-" + path + "]" + eol;
        ModelDeleteTree(&model, parts);
        current.clear();
      } else {
        file += "[" + path + "]" + eol;
        ModelCreate(&model, parts);
        current = parts;
      }
      continue;
    }
    if (kind == 7) {
      file += (op & 0x10 ? "; " : "# ") + Text(r, 12) + (op & 0x20 ? "=\\" : "") + eol;
      if (op & 0x40) file += eol;
      continue;
    }
    const bool isDefault = (op & 0x80) != 0 && r.byte() % 4 == 0;
    const std::string name = isDefault ? std::string() : Text(r, 8);
    const std::string lhs = isDefault ? "@" : Quote(name);
    const std::u16string wname = plat::FromUtf8(name);
    ModelKey* key = ModelCreate(&model, current);
    auto set = [&](DWORD type, std::vector<BYTE> bytes) {
      key->values[Fold(wname)] = {wname, {type, std::move(bytes)}};
    };
    switch (kind) {
      case 1: {
        const std::string value = Text(r, 16);
        file += lhs + eq + Quote(value) + eol;
        set(REG_SZ, Utf16Bytes(value));
        break;
      }
      case 2: {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | r.byte();
        char digits[16];
        std::snprintf(digits, sizeof digits, (op & 0x10) ? "%08X" : "%x", v);
        file += lhs + eq + "dword:" + digits + eol;
        set(REG_DWORD, {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                        static_cast<BYTE>(v >> 24)});
        break;
      }
      case 3:
      case 4: {
        DWORD type = REG_BINARY;
        std::string prefix = "hex:";
        if (kind == 4) {
          type = r.byte() % 12;
          char t[16];
          std::snprintf(t, sizeof t, "hex(%x):", static_cast<unsigned>(type));
          prefix = t;
        }
        std::vector<BYTE> bytes(r.byte() % 40);
        std::string line = lhs + eq + prefix;
        for (size_t i = 0; i < bytes.size(); ++i) {
          bytes[i] = r.byte();
          char hex[4];
          std::snprintf(hex, sizeof hex, (op & 0x10) && bytes[i] < 16 ? "%x" : "%02x", bytes[i]);
          if (i > 0) {
            line += ",";
            // Split over lines now and then, as exported files do.
            if (r.byte() % 5 == 0) line += "\\" + eol + "  ";
          }
          line += hex;
        }
        file += line + eol;
        set(type, std::move(bytes));
        break;
      }
      case 5: {
        file += lhs + eq + "-" + eol;
        key->values.erase(Fold(wname));
        break;
      }
      default:
        break;
    }
  }

  plat::RegistryClear();
  std::string error;
  if (!plat::RegistryLoadText(file, "fuzz.reg", &error)) Fail("a well-formed file is refused", error + "\n" + file);
  std::u16string expected;
  ModelWalk(model, u"", expected);
  const std::u16string got = Snapshot();
  if (got != expected) Fail("the registry differs from what the file says", file);
  if (!plat::RegistryLoadText(file, "fuzz.reg", &error)) Fail("a well-formed file is refused the second time", error);
  if (Snapshot() != got) Fail("loading a file twice differs from loading it once", file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0 && data[0] == 0x01) {
    FuzzScript(data + 1, size - 1);
  } else {
    FuzzText(std::string_view(reinterpret_cast<const char*>(data), size));
  }
  plat::RegistryClear();
  return 0;
}
