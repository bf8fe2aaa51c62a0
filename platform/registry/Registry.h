// The platform's registry functions over hive files.
//
// The folder $PELMO_REGISTRY (default /etc/pelmo) holds one file per hive:
// HKEY_LOCAL_MACHINE.reg and HKEY_CURRENT_USER.reg, in the format described in Hive.h. A file
// is read again whenever it has changed since it was last read, and every write replaces the
// whole file at once (a temporary file renamed over it), so a reader never sees half a file.
// A missing file is an empty hive; a damaged one is read as far as it is valid.
#pragma once

#include <cstdint>

#include "platform/com/Types.h"
#include "platform/registry/Hive.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LPCWSTR = const wchar_t*;
using LPWSTR = wchar_t*;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;

inline const HKEY HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u));
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u));

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_CANTWRITE = 1013;

// All answer ERROR_SUCCESS or a Win32 error code (ERROR_FILE_NOT_FOUND for a missing key or
// value, ERROR_MORE_DATA when a buffer is too small, ERROR_ACCESS_DENIED for a write through a
// key opened without KEY_SET_VALUE, ERROR_CANTWRITE when the hive file cannot be replaced).
LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result);
LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM access,
                     void* security, PHKEY result, LPDWORD disposition);
LONG RegCreateKeyW(HKEY key, LPCWSTR subKey, PHKEY result);
LONG RegCloseKey(HKEY key);

// With data null only the size (in bytes) is given back. A REG_SZ value's data is its wide
// characters followed by a zero character.
LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD dataSize);
LONG RegDeleteValueW(HKEY key, LPCWSTR name);
// nameLength: in, the name buffer's size in characters; out, the name's length without its zero.
LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD dataSize);
// Lengths of names are in characters without the zero; value sizes in bytes. The class,
// security and time outputs are answered as empty.
LONG RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                      LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                      LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptor,
                      void* lastWriteTime);
