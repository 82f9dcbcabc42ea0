// Windows registry subset: keys below HKEY_LOCAL_MACHINE holding named values.
// On POSIX the store is a folder tree: a folder per key, a file per value (see platform/posix/registry.cpp).
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdint>

#include "kernel.h"

typedef int32_t LONG;
typedef uint8_t BYTE;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;

typedef struct RegistryKey* HKEY;
typedef HKEY* PHKEY;

#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_BINARY 3u
#define REG_DWORD 4u

#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0L
#endif
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L

// Key names compare without regard to letter case; the separator is the backslash.
LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result);
// Creates the missing keys on the way; opens the key when it exists.
LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result);
LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);
// Deletes a key without subkeys, its values with it.
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
LONG RegCloseKey(HKEY key);
#endif
