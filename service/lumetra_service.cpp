// lumetra_service: installs and removes itself as the service "Lumetra Service" and, started by
// the service manager, serves pictures with the core, restarting the core after every error.
#include <algorithm>
#include <cstring>
#include <iostream>

// The core first: on Windows its sockets header must come before windows.h.
#include "../server/lumetra.h"

#include "../platform/kernel.h"
#include "../platform/registry.h"
#include "../platform/service_control.h"

#ifndef LUMETRA_SERVICE_POLL_MS
#define LUMETRA_SERVICE_POLL_MS 5000
#endif
#ifndef LUMETRA_SERVICE_RETRY_SHORTEST_MS
#define LUMETRA_SERVICE_RETRY_SHORTEST_MS 100
#endif
#ifndef LUMETRA_SERVICE_RETRY_LONGEST_MS
#define LUMETRA_SERVICE_RETRY_LONGEST_MS 5000
#endif

char serviceName[] = "Lumetra Service";
const char* regPath = "Software\\lumetra_service";
SERVICE_STATUS serviceStatus;
SERVICE_STATUS_HANDLE serviceStatusHandle = nullptr;
HANDLE stopServiceEvent = nullptr;

namespace {

const DWORD pollPeriodMs = LUMETRA_SERVICE_POLL_MS;
const DWORD directoryBufferSize = 260;
const DWORD recordBufferSize = 261;
const DWORD modulePathBufferSize = 261;

// The pause before a start-up that follows a failed one. A failure that repeats (port taken,
// configuration rejected, no directory record) would otherwise restart at full speed, burning a
// processor and filling the log; the pause doubles up to its longest and is short again once a
// start-up succeeds.
class RetryPause {
public:
    DWORD next()
    {
        const DWORD current = pauseMs;
        pauseMs = std::min<DWORD>(pauseMs * 2, longestMs);
        return current;
    }
    void reset() { pauseMs = shortestMs; }

private:
    static constexpr DWORD shortestMs = LUMETRA_SERVICE_RETRY_SHORTEST_MS;
    static constexpr DWORD longestMs = LUMETRA_SERVICE_RETRY_LONGEST_MS;
    DWORD pauseMs = shortestMs;
};

// The key is closed on every path, errors included.
class OpenKey {
public:
    OpenKey() = default;
    ~OpenKey()
    {
        if (key != nullptr)
            RegCloseKey(key);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    PHKEY receiver() { return &key; }
    HKEY get() const { return key; }

private:
    HKEY key = nullptr;
};

}  // namespace

void saveAppDir()
{
    OpenKey key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, regPath, key.receiver()) != ERROR_SUCCESS &&
        RegCreateKeyA(HKEY_LOCAL_MACHINE, regPath, key.receiver()) != ERROR_SUCCESS)
        throw ErrorText("RegOpenKey() && RegCreateKey() error");

    char directory[directoryBufferSize];
    // A directory that does not fit is not written; only its needed size comes back.
    const DWORD length = GetCurrentDirectoryA(directoryBufferSize, directory);
    if (length == 0 || length >= directoryBufferSize)
        throw ErrorText("GetCurrentDirectory() error");

    if (RegSetValueExA(key.get(), "path", 0, REG_SZ, reinterpret_cast<const BYTE*>(directory), length + 1) !=
        ERROR_SUCCESS)
        throw ErrorText("RegSetValueEx() error");
}

void chdirToApp()
{
    OpenKey key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, regPath, key.receiver()) != ERROR_SUCCESS)
        throw ErrorText("RegOpenKey() error");

    char directory[recordBufferSize];
    DWORD size = recordBufferSize;
    if (RegQueryValueExA(key.get(), "path", nullptr, nullptr, reinterpret_cast<LPBYTE>(directory), &size) !=
        ERROR_SUCCESS)
        throw ErrorText("RegQueryValueEx() error");

    const std::string path(directory, strnlen(directory, size));
    SetCurrentDirectoryA(path.c_str());
}

void InstallService()
{
    std::cout << "trying to install service..." << std::endl;
    saveAppDir();

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr)
        return;

    char executable[modulePathBufferSize];
    // A cut path would register some other file: as good as no path.
    const DWORD length = GetModuleFileNameA(nullptr, executable, modulePathBufferSize);
    if (length == 0 || length >= modulePathBufferSize) {
        CloseServiceHandle(manager);
        return;
    }

    SC_HANDLE service = CreateServiceA(manager, serviceName, serviceName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_AUTO_START,
                                       SERVICE_ERROR_IGNORE, executable, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service != nullptr)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

void UninstallService()
{
    std::cout << "trying to uninstall service..." << std::endl;

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager != nullptr) {
        SC_HANDLE service = OpenServiceA(manager, serviceName, DELETE | SERVICE_QUERY_STATUS);
        if (service != nullptr) {
            SERVICE_STATUS status;
            // A service that runs stays registered: only its directory record goes.
            if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED)
                DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, regPath);
}

void WINAPI ServiceControlHandler(DWORD control)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        serviceStatus.dwCurrentState = SERVICE_STOP_PENDING;
        SetServiceStatus(serviceStatusHandle, &serviceStatus);
        SetEvent(stopServiceEvent);
        return;
    default:
        SetServiceStatus(serviceStatusHandle, &serviceStatus);
        return;
    }
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv)
{
    bool running = true;
    serviceStatus.dwServiceType = SERVICE_WIN32;
    serviceStatus.dwCurrentState = SERVICE_STOPPED;
    serviceStatus.dwControlsAccepted = 0;
    serviceStatus.dwWin32ExitCode = 0;
    serviceStatus.dwServiceSpecificExitCode = 0;
    serviceStatus.dwCheckPoint = 0;
    serviceStatus.dwWaitHint = 0;

    serviceStatusHandle = RegisterServiceCtrlHandlerA(serviceName, ServiceControlHandler);
    if (serviceStatusHandle == nullptr)
        return;

    serviceStatus.dwCurrentState = SERVICE_START_PENDING;
    SetServiceStatus(serviceStatusHandle, &serviceStatus);

    stopServiceEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);

    serviceStatus.dwControlsAccepted |= SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    serviceStatus.dwCurrentState = SERVICE_RUNNING;
    SetServiceStatus(serviceStatusHandle, &serviceStatus);

    RetryPause retryPause;
    while (running) {
        bool startedUp = false;
        try {
            chdirToApp();
            // With more than one start parameter the core opens no listener: a failed start-up.
            if (prologue(static_cast<int>(argc), argv) != 0)
                throw ErrorText("prologue: at most one start parameter, the configuration file");
            startedUp = true;
            retryPause.reset();
            do {
                labourer();
                running = WaitForSingleObject(stopServiceEvent, pollPeriodMs) == WAIT_TIMEOUT;
            } while (running);
            epilogue();
        } catch (const ErrorText& text) {
            releaseResources();
            writeToLog(text.c_str());
            // A failed request cycle restarts at once; a failed start-up first waits, and a stop
            // request ends that wait, so the service stops whatever keeps failing.
            if (!startedUp && running)
                running = WaitForSingleObject(stopServiceEvent, retryPause.next()) == WAIT_TIMEOUT;
        }
    }

    serviceStatus.dwCurrentState = SERVICE_STOP_PENDING;
    SetServiceStatus(serviceStatusHandle, &serviceStatus);
    CloseHandle(stopServiceEvent);
    serviceStatus.dwControlsAccepted &= ~(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
    stopServiceEvent = nullptr;
    serviceStatus.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(serviceStatusHandle, &serviceStatus);
}

void RunService()
{
    SERVICE_TABLE_ENTRYA serviceTable[] = {{serviceName, ServiceMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherA(serviceTable);
}

int main(int argc, char** argv)
{
    try {
        if (argc >= 2 && lstrcmpiA(argv[1], "install") == 0) {
            InstallService();
        } else if (argc >= 2 && lstrcmpiA(argv[1], "uninstall") == 0) {
            UninstallService();
        } else {
            std::cout << "usage: " << (argc > 0 && argv[0] != nullptr ? argv[0] : "") << " [install|uninstall]"
                      << std::flush;
            RunService();
        }
    } catch (const ErrorText& text) {
        std::cerr << "Exception occured: " << text << std::endl;
    } catch (DWORD value) {
        std::cerr << "Exception with value DWORD=" << value << std::endl;
    } catch (...) {
        std::cerr << "Unhandled exception" << std::endl;
    }
    return 0;
}
