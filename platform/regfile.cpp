// REGEDIT4 files: the form in which this system's images carry their
// settings. A file is parsed whole first and applied only when every line is
// well formed, so a typo never leaves half a configuration behind.
#include <cctype>
#include <fstream>
#include <sstream>
#include <variant>
#include <vector>

#include "platform/registry.h"
#include "platform/system.h"

namespace plat {
namespace {

struct DeleteKey {
  std::u16string path;
};
struct SelectKey {
  std::u16string path;
};
struct SetValue {
  std::u16string path;
  std::u16string name;
  DWORD type;
  std::vector<BYTE> data;
};
struct DeleteValue {
  std::u16string path;
  std::u16string name;
};
using Op = std::variant<DeleteKey, SelectKey, SetValue, DeleteValue>;

constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";

std::string Trim(std::string_view s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(s[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

// Parses a quoted string at s[pos] ('"' ... '"') with \\ and \" escapes.
bool ParseQuoted(const std::string& s, size_t& pos, std::string* out, std::string* why) {
  if (pos >= s.size() || s[pos] != '"') {
    *why = "expected '\"'";
    return false;
  }
  ++pos;
  out->clear();
  while (pos < s.size()) {
    char c = s[pos++];
    if (c == '"') return true;
    if (c == '\\') {
      if (pos >= s.size()) break;
      char n = s[pos++];
      if (n != '\\' && n != '"') {
        *why = std::string("unknown escape \\") + n;
        return false;
      }
      *out += n;
    } else {
      *out += c;
    }
  }
  *why = "unterminated string";
  return false;
}

bool ParseHexBytes(std::string_view text, std::vector<BYTE>* out, std::string* why) {
  out->clear();
  std::string t = Trim(text);
  if (t.empty()) return true;
  std::stringstream ss(t);
  std::string item;
  while (std::getline(ss, item, ',')) {
    item = Trim(item);
    if (item.empty() || item.size() > 2 || !std::isxdigit(static_cast<unsigned char>(item[0])) ||
        (item.size() == 2 && !std::isxdigit(static_cast<unsigned char>(item[1])))) {
      *why = "bad hex byte '" + item + "'";
      return false;
    }
    out->push_back(static_cast<BYTE>(std::stoul(item, nullptr, 16)));
  }
  if (!t.empty() && t.back() == ',') {
    *why = "trailing comma in hex data";
    return false;
  }
  return true;
}

// A value line whose last byte is a backslash outside any string goes on in
// the next line (hex data split over lines). A backslash that ends a comment
// or lies inside a string does not: joining there would swallow the next line.
bool ContinuesOnNextLine(const std::string& line) {
  if (line.empty() || line.back() != '\\' || (line[0] != '"' && line[0] != '@')) return false;
  bool inString = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (inString) {
      if (c == '\\') {
        if (i + 1 == line.size()) return false;
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    }
  }
  return !inString;
}

bool ParseKeyPath(const std::string& inner, std::u16string* path, std::string* why) {
  if (!StartsWithNoCase(inner, kRoot) || (inner.size() > kRoot.size() && inner[kRoot.size()] != '\\')) {
    *why = "only HKEY_LOCAL_MACHINE keys are supported";
    return false;
  }
  std::string rest = inner.size() > kRoot.size() ? inner.substr(kRoot.size() + 1) : std::string();
  // Empty parts between backslashes are skipped, as everywhere in the
  // registry; a path of nothing else would name the root.
  if (rest.find_first_not_of('\\') == std::string::npos) {
    *why = "the root key itself cannot be named here";
    return false;
  }
  *path = FromUtf8(rest);
  return true;
}

// One value line: "name"=..., @=...
bool ParseValueLine(const std::string& line, const std::u16string& key, std::vector<Op>* ops, std::string* why) {
  size_t pos = 0;
  std::string name;
  if (line[0] == '@') {
    pos = 1;
  } else if (!ParseQuoted(line, pos, &name, why)) {
    return false;
  }
  while (pos < line.size() && std::isspace(static_cast<unsigned char>(line[pos]))) ++pos;
  if (pos >= line.size() || line[pos] != '=') {
    *why = "expected '=' after the value name";
    return false;
  }
  ++pos;
  std::string rhs = Trim(std::string_view(line).substr(pos));
  std::u16string wname = FromUtf8(name);
  if (rhs == "-") {
    ops->push_back(DeleteValue{key, wname});
    return true;
  }
  if (!rhs.empty() && rhs[0] == '"') {
    size_t p = 0;
    std::string value;
    if (!ParseQuoted(rhs, p, &value, why)) return false;
    if (!Trim(std::string_view(rhs).substr(p)).empty()) {
      *why = "unexpected text after the string";
      return false;
    }
    std::u16string w = FromUtf8(value);
    std::vector<BYTE> data;
    for (char16_t c : w) {
      data.push_back(static_cast<BYTE>(c & 0xFF));
      data.push_back(static_cast<BYTE>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    ops->push_back(SetValue{key, wname, REG_SZ, std::move(data)});
    return true;
  }
  if (StartsWithNoCase(rhs, "dword:")) {
    std::string digits = Trim(std::string_view(rhs).substr(6));
    if (digits.empty() || digits.size() > 8) {
      *why = "dword needs 1 to 8 hex digits";
      return false;
    }
    for (char c : digits) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) {
        *why = "bad dword digits '" + digits + "'";
        return false;
      }
    }
    DWORD v = static_cast<DWORD>(std::stoul(digits, nullptr, 16));
    std::vector<BYTE> data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                              static_cast<BYTE>(v >> 24)};
    ops->push_back(SetValue{key, wname, REG_DWORD, std::move(data)});
    return true;
  }
  if (StartsWithNoCase(rhs, "hex")) {
    DWORD type = REG_BINARY;
    size_t p = 3;
    if (p < rhs.size() && rhs[p] == '(') {
      size_t close = rhs.find(')', p);
      if (close == std::string::npos) {
        *why = "unterminated hex(type)";
        return false;
      }
      std::string t = rhs.substr(p + 1, close - p - 1);
      if (t.empty() || t.size() > 8 || t.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        *why = "bad hex type '" + t + "'";
        return false;
      }
      type = static_cast<DWORD>(std::stoul(t, nullptr, 16));
      p = close + 1;
    }
    if (p >= rhs.size() || rhs[p] != ':') {
      *why = "expected ':' after hex";
      return false;
    }
    std::vector<BYTE> data;
    if (!ParseHexBytes(std::string_view(rhs).substr(p + 1), &data, why)) return false;
    ops->push_back(SetValue{key, wname, type, std::move(data)});
    return true;
  }
  *why = "unknown value form '" + rhs + "'";
  return false;
}

}  // namespace

bool RegistryLoadText(std::string_view text, const std::string& name, std::string* error) {
  std::vector<Op> ops;
  std::u16string currentKey;
  bool haveKey = false;
  bool sawContent = false;
  int lineNo = 0;
  size_t pos = 0;
  auto fail = [&](int line, const std::string& why) {
    if (error) *error = name + ":" + std::to_string(line) + ": " + why;
    return false;
  };
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    std::string raw(text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos));
    pos = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
    ++lineNo;
    int startLine = lineNo;
    std::string line = Trim(raw);
    if (!sawContent && line.size() >= 3 && static_cast<unsigned char>(line[0]) == 0xEF &&
        static_cast<unsigned char>(line[1]) == 0xBB && static_cast<unsigned char>(line[2]) == 0xBF) {
      line = line.substr(3);  // UTF-8 byte-order mark
    }
    // Hex data may be split over lines.
    while (ContinuesOnNextLine(line) && pos <= text.size()) {
      size_t nl2 = text.find('\n', pos);
      std::string next(text.substr(pos, nl2 == std::string_view::npos ? std::string_view::npos : nl2 - pos));
      pos = nl2 == std::string_view::npos ? text.size() + 1 : nl2 + 1;
      ++lineNo;
      line.pop_back();
      line += Trim(next);
    }
    // Names are handed on as NUL-terminated strings: one holding a NUL
    // would name another key or value than the one written.
    if (line.find('\0') != std::string::npos) return fail(startLine, "NUL byte in the line");
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (!sawContent) {
      sawContent = true;
      if (line == "REGEDIT4") continue;
    }
    if (line == "REGEDIT4") return fail(startLine, "REGEDIT4 header in the middle of the file");
    if (line[0] == '[') {
      if (line.back() != ']') return fail(startLine, "key line must end in ']'");
      std::string inner = line.substr(1, line.size() - 2);
      bool del = !inner.empty() && inner[0] == '-';
      if (del) inner = inner.substr(1);
      std::u16string path;
      std::string why;
      if (!ParseKeyPath(Trim(inner), &path, &why)) return fail(startLine, why);
      if (del) {
        ops.push_back(DeleteKey{path});
        haveKey = false;
      } else {
        ops.push_back(SelectKey{path});
        currentKey = path;
        haveKey = true;
      }
      continue;
    }
    if (line[0] == '"' || line[0] == '@') {
      if (!haveKey) return fail(startLine, "value outside of a key");
      std::string why;
      if (!ParseValueLine(line, currentKey, &ops, &why)) return fail(startLine, why);
      continue;
    }
    return fail(startLine, "unrecognised line");
  }
  for (const Op& op : ops) {
    if (auto* d = std::get_if<DeleteKey>(&op)) {
      RegistryDeleteTree(d->path);
    } else if (auto* k = std::get_if<SelectKey>(&op)) {
      HKEY h = nullptr;
      if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, k->path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                          nullptr) == ERROR_SUCCESS) {
        RegCloseKey(h);
      }
    } else if (auto* v = std::get_if<SetValue>(&op)) {
      RegistrySetBinary(v->path, v->name, v->type, v->data.data(), static_cast<DWORD>(v->data.size()));
    } else if (auto* dv = std::get_if<DeleteValue>(&op)) {
      RegistryDeleteValue(dv->path, dv->name);
    }
  }
  return true;
}

bool RegistryLoadFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = path + ": cannot be read";
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  return RegistryLoadText(ss.str(), path, error);
}

}  // namespace plat
