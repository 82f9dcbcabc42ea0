// Windows service control manager subset: registration, the dispatcher, control handler and
// status reports. On POSIX it is mapped onto systemd (see platform/posix/service_control.cpp):
// a service is a unit file, the dispatcher runs when systemd started the process with a notify
// socket, stop requests arrive as SIGTERM or SIGINT and status reports go out through sd_notify.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <string>

#include "kernel.h"

#ifndef WINAPI
#define WINAPI
#endif
typedef void VOID;
typedef DWORD* LPDWORD;

typedef struct ServiceControlObject* SC_HANDLE;
typedef struct ServiceStatusReporter* SERVICE_STATUS_HANDLE;

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
typedef SERVICE_STATUS* LPSERVICE_STATUS;

typedef VOID(WINAPI* LPSERVICE_MAIN_FUNCTIONA)(DWORD argc, LPSTR* argv);
typedef VOID(WINAPI* LPHANDLER_FUNCTION)(DWORD control);

struct SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

#define SERVICE_WIN32_OWN_PROCESS 0x00000010u
#define SERVICE_WIN32_SHARE_PROCESS 0x00000020u
#define SERVICE_WIN32 (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS)
#define SERVICE_INTERACTIVE_PROCESS 0x00000100u

#define SERVICE_STOPPED 1u
#define SERVICE_START_PENDING 2u
#define SERVICE_STOP_PENDING 3u
#define SERVICE_RUNNING 4u
#define SERVICE_CONTINUE_PENDING 5u
#define SERVICE_PAUSE_PENDING 6u
#define SERVICE_PAUSED 7u

#define SERVICE_ACCEPT_STOP 0x1u
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x2u
#define SERVICE_ACCEPT_SHUTDOWN 0x4u

#define SERVICE_CONTROL_STOP 1u
#define SERVICE_CONTROL_PAUSE 2u
#define SERVICE_CONTROL_CONTINUE 3u
#define SERVICE_CONTROL_INTERROGATE 4u
#define SERVICE_CONTROL_SHUTDOWN 5u

#define SERVICE_BOOT_START 0u
#define SERVICE_SYSTEM_START 1u
#define SERVICE_AUTO_START 2u
#define SERVICE_DEMAND_START 3u
#define SERVICE_DISABLED 4u

#define SERVICE_ERROR_IGNORE 0u
#define SERVICE_ERROR_NORMAL 1u

#define SC_MANAGER_CONNECT 0x0001u
#define SC_MANAGER_CREATE_SERVICE 0x0002u
#define SC_MANAGER_ALL_ACCESS 0xF003Fu

#define SERVICE_QUERY_STATUS 0x0004u
#define SERVICE_START 0x0010u
#define SERVICE_STOP 0x0020u
#define DELETE 0x00010000u
#define SERVICE_ALL_ACCESS 0xF01FFu

// The local machine's manager only (no machine name; no database name or "ServicesActive").
SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess);
// Writes the unit (enabled for boot with SERVICE_AUTO_START); fails, changing nothing, when it exists.
// Group, tag, dependencies, account and password must be null: the unit runs as root.
SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName, DWORD desiredAccess,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCSTR binaryPathName,
                         LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                         LPCSTR password);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess);
// The state the service process last reported; stopped when that process is gone.
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
// Removes the unit and its enablement.
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);

// Fails at once unless systemd started the process (NOTIFY_SOCKET). Otherwise runs the first
// entry's main function on a thread of its own with the service name and the start parameters
// (the program's arguments after its name), turns SIGTERM and SIGINT into SERVICE_CONTROL_STOP
// for the handler on the calling thread, and returns once the main function has returned.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler);
// Reports through sd_notify: running as READY=1, stop pending as STOPPING=1, every state as STATUS=.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

namespace platform {
// The systemd unit of a service: letters and digits in small letters, every other run of
// characters one "-", none at either end, then ".service" ("Lumetra Service": "lumetra-service.service").
std::string serviceUnitName(const std::string& serviceName);
}  // namespace platform
#endif
