// The registry: one in-memory HKEY_LOCAL_MACHINE tree per process, filled by
// hosts and tests from REGEDIT4 files. Key and value names ignore case.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

struct RegKeyTag;
using HKEY = RegKeyTag*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u));

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

extern "C" {
KESTPLAT_API LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
KESTPLAT_API LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                  REGSAM samDesired, void* lpSecurityAttributes, PHKEY phkResult,
                                  LPDWORD lpdwDisposition);
// Size query with a null data pointer; ERROR_MORE_DATA (and the needed size)
// when the buffer is too small.
KESTPLAT_API LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                   LPDWORD lpcbData);
KESTPLAT_API LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                 DWORD cbData);
KESTPLAT_API LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
// Subkey names in their stored case; ERROR_NO_MORE_ITEMS past the last one,
// ERROR_MORE_DATA when the name (with its NUL) does not fit *lpcchName.
KESTPLAT_API LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                LPWSTR lpClass, LPDWORD lpcchClass, void* lpftLastWriteTime);
// Values in the order of their names ignoring case, names in their stored
// case; ERROR_NO_MORE_ITEMS past the last one. ERROR_MORE_DATA when the name
// (with its NUL) does not fit *lpcchValueName, or when lpData is given and the
// data do not fit *lpcbData (which then holds the size needed). A null lpData
// asks for the size only.
KESTPLAT_API LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                                LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
// Fails with ERROR_KEY_HAS_CHILDREN while the key has subkeys.
KESTPLAT_API LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
KESTPLAT_API LONG RegCloseKey(HKEY hKey);
}

namespace plat {
// Removes every key and value.
KESTPLAT_API void RegistryClear();
// Applies a REGEDIT4 file (or text). On a malformed line nothing of the file
// is applied and *error says "<name>:<line>: <reason>".
KESTPLAT_API bool RegistryLoadFile(const std::string& path, std::string* error);
KESTPLAT_API bool RegistryLoadText(std::string_view text, const std::string& name, std::string* error);

// Conveniences for hosts and tests; paths are relative to HKEY_LOCAL_MACHINE.
KESTPLAT_API bool RegistrySetDword(const std::u16string& keyPath, const std::u16string& name, DWORD value);
KESTPLAT_API bool RegistrySetString(const std::u16string& keyPath, const std::u16string& name,
                                    const std::u16string& value);
KESTPLAT_API bool RegistrySetBinary(const std::u16string& keyPath, const std::u16string& name, DWORD type,
                                    const void* data, DWORD size);
KESTPLAT_API bool RegistryDeleteValue(const std::u16string& keyPath, const std::u16string& name);
KESTPLAT_API bool RegistryKeyExists(const std::u16string& keyPath);
// Removes a key with everything below it.
KESTPLAT_API bool RegistryDeleteTree(const std::u16string& keyPath);
// Reads a value; false when the key or value is missing.
KESTPLAT_API bool RegistryGetDword(const std::u16string& keyPath, const std::u16string& name, DWORD* value);
KESTPLAT_API bool RegistryGetString(const std::u16string& keyPath, const std::u16string& name, std::u16string* value);
}  // namespace plat
