// The in-memory registry. Open keys are handles onto paths, resolved at each
// call, so a key deleted under an open handle simply reads as missing.
#include "platform/registry.h"

#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/system.h"

namespace {

std::u16string Fold(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return out;
}

struct Value {
  std::u16string name;  // stored case
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct Key {
  std::u16string name;                            // stored case
  std::map<std::u16string, std::unique_ptr<Key>> children;  // folded name -> key
  std::map<std::u16string, Value> values;                   // folded name -> value
};

struct Registry {
  std::recursive_mutex mu;
  Key root;
  std::map<uintptr_t, std::vector<std::u16string>> open;  // handle -> path parts
  uintptr_t nextHandle = 0x1000;
};

Registry& Reg() {
  static Registry r;
  return r;
}

std::vector<std::u16string> SplitPath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  std::u16string cur;
  for (char16_t c : path) {
    if (c == u'\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

std::u16string FromW(LPCWSTR s) {
  std::u16string out;
  if (s != nullptr) {
    while (*s) out += *s++;
  }
  return out;
}

// Resolves an HKEY to its path; false for an unknown handle.
bool BasePath(HKEY h, std::vector<std::u16string>* out) {
  Registry& r = Reg();
  if (h == HKEY_LOCAL_MACHINE) {
    out->clear();
    return true;
  }
  auto it = r.open.find(reinterpret_cast<uintptr_t>(h));
  if (it == r.open.end()) return false;
  *out = it->second;
  return true;
}

Key* Find(const std::vector<std::u16string>& parts) {
  Key* k = &Reg().root;
  for (const auto& p : parts) {
    auto it = k->children.find(Fold(p));
    if (it == k->children.end()) return nullptr;
    k = it->second.get();
  }
  return k;
}

// The key an open handle names; null with the error to return for an unknown
// handle or for a key deleted since it was opened. The caller holds the lock.
Key* KeyOf(HKEY h, LONG* error) {
  std::vector<std::u16string> base;
  if (!BasePath(h, &base)) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  Key* k = Find(base);
  if (k == nullptr) *error = ERROR_FILE_NOT_FOUND;
  return k;
}

Key* Create(const std::vector<std::u16string>& parts, bool* created) {
  Key* k = &Reg().root;
  if (created) *created = false;
  for (const auto& p : parts) {
    auto& slot = k->children[Fold(p)];
    if (!slot) {
      slot = std::make_unique<Key>();
      slot->name = p;
      if (created) *created = true;
    }
    k = slot.get();
  }
  return k;
}

std::vector<std::u16string> Join(std::vector<std::u16string> base, LPCWSTR sub) {
  for (auto& p : SplitPath(FromW(sub))) base.push_back(std::move(p));
  return base;
}

HKEY NewHandle(std::vector<std::u16string> parts) {
  Registry& r = Reg();
  uintptr_t h = r.nextHandle;
  r.nextHandle += 4;
  r.open[h] = std::move(parts);
  return reinterpret_cast<HKEY>(h);
}

}  // namespace

extern "C" {

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  std::vector<std::u16string> base;
  if (!BasePath(hKey, &base)) return ERROR_INVALID_HANDLE;
  auto parts = Join(base, lpSubKey);
  if (parts.empty() || Find(parts) == nullptr) return ERROR_FILE_NOT_FOUND;
  *phkResult = NewHandle(std::move(parts));
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM, void*, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  std::vector<std::u16string> base;
  if (!BasePath(hKey, &base)) return ERROR_INVALID_HANDLE;
  auto parts = Join(base, lpSubKey);
  if (parts.empty()) return ERROR_INVALID_PARAMETER;
  bool created = false;
  Create(parts, &created);
  if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *phkResult = NewHandle(std::move(parts));
  return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  LONG error = ERROR_SUCCESS;
  Key* k = KeyOf(hKey, &error);
  if (k == nullptr) return error;
  auto it = k->values.find(Fold(FromW(lpValueName)));
  if (it == k->values.end()) return ERROR_FILE_NOT_FOUND;
  const Value& v = it->second;
  if (lpType) *lpType = v.type;
  DWORD size = static_cast<DWORD>(v.data.size());
  if (lpData == nullptr) {
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  std::copy(v.data.begin(), v.data.end(), lpData);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  LONG error = ERROR_SUCCESS;
  Key* k = KeyOf(hKey, &error);
  if (k == nullptr) return error;
  Value v;
  v.name = FromW(lpValueName);
  v.type = dwType;
  if (cbData) v.data.assign(lpData, lpData + cbData);
  k->values[Fold(v.name)] = std::move(v);
  return ERROR_SUCCESS;
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  LONG error = ERROR_SUCCESS;
  Key* k = KeyOf(hKey, &error);
  if (k == nullptr) return error;
  return k->values.erase(Fold(FromW(lpValueName))) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR, LPDWORD, void*) {
  if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  LONG error = ERROR_SUCCESS;
  Key* k = KeyOf(hKey, &error);
  if (k == nullptr) return error;
  if (dwIndex >= k->children.size()) return ERROR_NO_MORE_ITEMS;
  auto it = k->children.begin();
  std::advance(it, dwIndex);
  const std::u16string& name = it->second->name;
  if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
  std::copy(name.begin(), name.end(), lpName);
  lpName[name.size()] = 0;
  *lpcchName = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                   LPBYTE lpData, LPDWORD lpcbData) {
  if (lpValueName == nullptr || lpcchValueName == nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  LONG error = ERROR_SUCCESS;
  Key* k = KeyOf(hKey, &error);
  if (k == nullptr) return error;
  if (dwIndex >= k->values.size()) return ERROR_NO_MORE_ITEMS;
  auto it = k->values.begin();
  std::advance(it, dwIndex);
  const Value& v = it->second;
  if (v.name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
  const DWORD size = static_cast<DWORD>(v.data.size());
  if (lpData != nullptr && *lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  std::copy(v.name.begin(), v.name.end(), lpValueName);
  lpValueName[v.name.size()] = 0;
  *lpcchValueName = static_cast<DWORD>(v.name.size());
  if (lpType) *lpType = v.type;
  if (lpData != nullptr) std::copy(v.data.begin(), v.data.end(), lpData);
  if (lpcbData) *lpcbData = size;
  return ERROR_SUCCESS;
}

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  std::vector<std::u16string> base;
  if (!BasePath(hKey, &base)) return ERROR_INVALID_HANDLE;
  auto parts = Join(base, lpSubKey);
  if (parts.empty()) return ERROR_ACCESS_DENIED;
  std::vector<std::u16string> parentParts(parts.begin(), parts.end() - 1);
  Key* parent = Find(parentParts);
  if (parent == nullptr) return ERROR_FILE_NOT_FOUND;
  auto it = parent->children.find(Fold(parts.back()));
  if (it == parent->children.end()) return ERROR_FILE_NOT_FOUND;
  if (!it->second->children.empty()) return ERROR_KEY_HAS_CHILDREN;
  parent->children.erase(it);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  return r.open.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // extern "C"

namespace plat {

void RegistryClear() {
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  r.root.children.clear();
  r.root.values.clear();
}

namespace {

bool SetValue(const std::u16string& keyPath, const std::u16string& name, DWORD type, const void* data, DWORD size) {
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  auto parts = SplitPath(keyPath);
  if (parts.empty()) return false;
  Key* k = Create(parts, nullptr);
  Value v;
  v.name = name;
  v.type = type;
  const BYTE* b = static_cast<const BYTE*>(data);
  if (size) v.data.assign(b, b + size);
  k->values[Fold(name)] = std::move(v);
  return true;
}

const Value* GetValue(const std::u16string& keyPath, const std::u16string& name) {
  Key* k = Find(SplitPath(keyPath));
  if (k == nullptr) return nullptr;
  auto it = k->values.find(Fold(name));
  return it == k->values.end() ? nullptr : &it->second;
}

}  // namespace

bool RegistrySetDword(const std::u16string& keyPath, const std::u16string& name, DWORD value) {
  BYTE b[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
               static_cast<BYTE>(value >> 24)};
  return SetValue(keyPath, name, REG_DWORD, b, 4);
}

bool RegistrySetString(const std::u16string& keyPath, const std::u16string& name, const std::u16string& value) {
  return SetValue(keyPath, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
}

bool RegistrySetBinary(const std::u16string& keyPath, const std::u16string& name, DWORD type, const void* data,
                       DWORD size) {
  return SetValue(keyPath, name, type, data, size);
}

bool RegistryDeleteValue(const std::u16string& keyPath, const std::u16string& name) {
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  Key* k = Find(SplitPath(keyPath));
  return k != nullptr && k->values.erase(Fold(name)) > 0;
}

bool RegistryKeyExists(const std::u16string& keyPath) {
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  auto parts = SplitPath(keyPath);
  return !parts.empty() && Find(parts) != nullptr;
}

bool RegistryDeleteTree(const std::u16string& keyPath) {
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  auto parts = SplitPath(keyPath);
  if (parts.empty()) return false;
  std::vector<std::u16string> parentParts(parts.begin(), parts.end() - 1);
  Key* parent = Find(parentParts);
  if (parent == nullptr) return false;
  return parent->children.erase(Fold(parts.back())) > 0;
}

bool RegistryGetDword(const std::u16string& keyPath, const std::u16string& name, DWORD* value) {
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  const Value* v = GetValue(keyPath, name);
  if (v == nullptr || v->data.size() != 4) return false;
  if (value) *value = v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) | (static_cast<DWORD>(v->data[3]) << 24);
  return true;
}

bool RegistryGetString(const std::u16string& keyPath, const std::u16string& name, std::u16string* value) {
  Registry& r = Reg();
  std::lock_guard<std::recursive_mutex> lock(r.mu);
  const Value* v = GetValue(keyPath, name);
  if (v == nullptr || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return false;
  std::u16string s;
  for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8));
    if (c == 0) break;
    s += c;
  }
  if (value) *value = s;
  return true;
}

}  // namespace plat
