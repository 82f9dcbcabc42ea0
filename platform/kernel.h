// Windows kernel subset: waits, process identity, current directory, executable path,
// events and a comparison without regard to letter case.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdint>

typedef uint32_t DWORD;
typedef int BOOL;
typedef void* HANDLE;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef void* HMODULE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

void Sleep(DWORD milliseconds);
DWORD GetCurrentProcessId();

// Events: unnamed only; security attributes are accepted and ignored.
HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

DWORD GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer);
BOOL SetCurrentDirectoryA(LPCSTR path);
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
int lstrcmpiA(LPCSTR first, LPCSTR second);
#endif
