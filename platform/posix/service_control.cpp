// Services as systemd units. Below the platform root (see platform_root.h):
//   /etc/systemd/system/<unit>                          the unit, Type=notify, running the executable
//   /etc/systemd/system/multi-user.target.wants/<unit>  its enablement for boot (automatic start)
//   /run/lumetra-services/<unit>.status                 the last status the running service reported
// systemctl is asked to reload only when systemd runs and the root is the machine's own.
#include "../service_control.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform_root.h"

extern char** environ;

struct ServiceControlObject {
    bool isManager;
    std::string unitName;
};

struct ServiceStatusReporter {
};

namespace {

std::string unitFolder()
{
    return platform::underRoot("/etc/systemd/system");
}

std::string wantsLinkPath(const std::string& unitName)
{
    return unitFolder() + "/multi-user.target.wants/" + unitName;
}

std::string statusPath(const std::string& unitName)
{
    return platform::underRoot("/run/lumetra-services/" + unitName + ".status");
}

bool exists(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

void reloadSystemd()
{
    if (!platform::isMachineRoot() || sd_booted() <= 0)
        return;
    char program[] = "systemctl";
    char command[] = "daemon-reload";
    char* arguments[] = {program, command, nullptr};
    pid_t child = -1;
    if (posix_spawnp(&child, program, nullptr, nullptr, arguments, environ) != 0)
        return;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

// The executable as the first word of ExecStart: quoted, its specifiers escaped. systemd takes
// no backslash, quote or control character in an executable's name, and expands no variable there.
bool quoteForExec(const std::string& path, std::string& quoted)
{
    quoted = "\"";
    for (const char c : path) {
        if (c == '\\' || c == '"' || c == '\'' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return false;
        if (c == '%')
            quoted += c;
        quoted += c;
    }
    quoted += '"';
    return true;
}

bool escapeForValue(const std::string& text, std::string& escaped)
{
    escaped.clear();
    for (const char c : text) {
        if (c == '\n' || c == '\r')
            return false;
        if (c == '%')
            escaped += c;
        escaped += c;
    }
    return true;
}

// Start time of a process in clock ticks after boot, telling a reused process id apart.
bool processStartTime(long pid, unsigned long long& ticks)
{
    std::string stat;
    if (platform::readWholeFile("/proc/" + std::to_string(pid) + "/stat", stat) != 0)
        return false;
    // The command name may hold spaces and parentheses: fields are counted after its last ")".
    size_t cursor = stat.rfind(')');
    if (cursor == std::string::npos)
        return false;
    for (int field = 2; field < 22; ++field) {
        cursor = stat.find(' ', cursor + 1);
        if (cursor == std::string::npos)
            return false;
    }
    ticks = std::strtoull(stat.c_str() + cursor + 1, nullptr, 10);
    return true;
}

void recordStatus(const std::string& unitName, const SERVICE_STATUS& status)
{
    unsigned long long started = 0;
    processStartTime(getpid(), started);
    const std::string text = "pid=" + std::to_string(getpid()) + "\nstarted=" + std::to_string(started) +
                             "\nstate=" + std::to_string(status.dwCurrentState) +
                             "\ncontrols=" + std::to_string(status.dwControlsAccepted) + "\n";
    const std::string path = statusPath(unitName);
    if (platform::makeFolders(path.substr(0, path.find_last_of('/'))) == 0)
        platform::writeFileAtomically(path, text, 0644);
}

unsigned long long field(const std::string& text, const std::string& name)
{
    const std::string key = name + "=";
    size_t at = text.compare(0, key.size(), key) == 0 ? 0 : text.find("\n" + key);
    if (at == std::string::npos)
        return 0;
    if (at != 0)
        ++at;
    return std::strtoull(text.c_str() + at + key.size(), nullptr, 10);
}

const char* stateText(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "start pending";
    case SERVICE_STOP_PENDING: return "stop pending";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continue pending";
    case SERVICE_PAUSE_PENDING: return "pause pending";
    case SERVICE_PAUSED: return "paused";
    default: return "unknown";
    }
}

bool isPending(DWORD state)
{
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_CONTINUE_PENDING ||
           state == SERVICE_PAUSE_PENDING;
}

// The one service this process runs, shared by the dispatcher thread and the service thread.
struct Dispatcher {
    // Held while the handler runs and while a report is taken, so that no stop reaches the
    // handler once the service has reported that it is stopping.
    std::recursive_mutex lock;
    bool active = false;
    std::string unitName;
    LPHANDLER_FUNCTION handler = nullptr;
    bool reported = false;
    SERVICE_STATUS lastReport{};
    int wakeFd = -1;
};

Dispatcher dispatcher;
ServiceStatusReporter reporter;

void wakeDispatcher()
{
    const uint64_t one = 1;
    if (dispatcher.wakeFd >= 0 && write(dispatcher.wakeFd, &one, sizeof one) < 0) {
        // the counter is full of wake-ups already
    }
}

// Windows delivers no control to a service in a pending state; a stop asked for while it starts
// waits for the running report, one asked for while it stops is already being honoured.
enum class StopDelivery { deliverNow, keepWaiting, dropIt };

StopDelivery stopDelivery()
{
    if (dispatcher.handler == nullptr || !dispatcher.reported)
        return StopDelivery::keepWaiting;
    const SERVICE_STATUS& status = dispatcher.lastReport;
    if (status.dwCurrentState == SERVICE_STOPPED || status.dwCurrentState == SERVICE_STOP_PENDING)
        return StopDelivery::dropIt;
    if (isPending(status.dwCurrentState) || (status.dwControlsAccepted & SERVICE_ACCEPT_STOP) == 0)
        return StopDelivery::keepWaiting;
    return StopDelivery::deliverNow;
}

std::vector<std::string> startParameters()
{
    std::string commandLine;
    platform::readWholeFile("/proc/self/cmdline", commandLine);
    std::vector<std::string> words;
    size_t start = 0;
    while (start < commandLine.size()) {
        size_t end = commandLine.find('\0', start);
        if (end == std::string::npos)
            end = commandLine.size();
        words.push_back(commandLine.substr(start, end - start));
        start = end + 1;
    }
    if (!words.empty())
        words.erase(words.begin());  // the program's own name
    return words;
}

}  // namespace

namespace platform {

std::string serviceUnitName(const std::string& serviceName)
{
    std::string stem;
    bool separator = false;
    for (const char c : serviceName) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x80 && std::isalnum(byte)) {
            if (separator && !stem.empty())
                stem += '-';
            separator = false;
            stem += static_cast<char>(std::tolower(byte));
        } else {
            separator = true;
        }
    }
    return stem.empty() ? std::string() : stem + ".service";
}

}  // namespace platform

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD)
{
    if (machineName != nullptr && machineName[0] != '\0')
        return nullptr;
    if (databaseName != nullptr && std::strcmp(databaseName, "ServicesActive") != 0)
        return nullptr;
    return new ServiceControlObject{true, std::string()};
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName, DWORD, DWORD, DWORD startType,
                         DWORD, LPCSTR binaryPathName, LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
                         LPCSTR serviceStartName, LPCSTR password)
{
    if (manager == nullptr || !manager->isManager || serviceName == nullptr || binaryPathName == nullptr ||
        binaryPathName[0] != '/')
        return nullptr;
    if ((loadOrderGroup != nullptr && loadOrderGroup[0] != '\0') || tagId != nullptr ||
        (dependencies != nullptr && dependencies[0] != '\0') || serviceStartName != nullptr || password != nullptr)
        return nullptr;
    const std::string unitName = platform::serviceUnitName(serviceName);
    std::string executable, description;
    if (unitName.empty() || !quoteForExec(binaryPathName, executable) ||
        !escapeForValue(displayName != nullptr ? displayName : serviceName, description))
        return nullptr;

    const std::string unitText = "# Written by \"" + std::string(serviceName) + "\" on installation.\n"
                                 "[Unit]\n"
                                 "Description=" + description + "\n"
                                 "After=network.target\n"
                                 "\n"
                                 "[Service]\n"
                                 "Type=notify\n"
                                 "ExecStart=" + executable + "\n"
                                 "\n"
                                 "[Install]\n"
                                 "WantedBy=multi-user.target\n";

    const std::string folder = unitFolder();
    const std::string unitPath = folder + "/" + unitName;
    if (exists(unitPath) || platform::makeFolders(folder) != 0)
        return nullptr;
    // Written aside, then linked into place: an existing unit is never replaced, even by a race.
    const std::string partial = folder + "/.~" + unitName + "." + std::to_string(getpid());
    if (platform::writeFileAtomically(partial, unitText, 0644) != 0)
        return nullptr;
    const bool placed = link(partial.c_str(), unitPath.c_str()) == 0;
    unlink(partial.c_str());
    if (!placed)
        return nullptr;

    if (startType == SERVICE_AUTO_START || startType == SERVICE_SYSTEM_START || startType == SERVICE_BOOT_START) {
        // What "systemctl enable" makes of WantedBy=, with the target as seen from the root.
        const std::string link = wantsLinkPath(unitName);
        const std::string partialLink = link + ".~" + std::to_string(getpid());
        unlink(partialLink.c_str());
        const bool enabled = platform::makeFolders(link.substr(0, link.find_last_of('/'))) == 0 &&
                             symlink(("/etc/systemd/system/" + unitName).c_str(), partialLink.c_str()) == 0 &&
                             rename(partialLink.c_str(), link.c_str()) == 0;
        if (!enabled) {
            unlink(partialLink.c_str());
            unlink(unitPath.c_str());
            return nullptr;
        }
    }
    reloadSystemd();
    return new ServiceControlObject{false, unitName};
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD)
{
    if (manager == nullptr || !manager->isManager || serviceName == nullptr)
        return nullptr;
    const std::string unitName = platform::serviceUnitName(serviceName);
    if (unitName.empty() || !exists(unitFolder() + "/" + unitName))
        return nullptr;
    return new ServiceControlObject{false, unitName};
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status)
{
    if (service == nullptr || service->isManager || status == nullptr)
        return FALSE;
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    std::string text;
    if (platform::readWholeFile(statusPath(service->unitName), text) != 0)
        return TRUE;  // never reported: not running
    const long pid = static_cast<long>(field(text, "pid"));
    unsigned long long started = 0;
    if (pid <= 0 || !processStartTime(pid, started) || started != field(text, "started"))
        return TRUE;  // the reporting process is gone
    status->dwCurrentState = static_cast<DWORD>(field(text, "state"));
    status->dwControlsAccepted = static_cast<DWORD>(field(text, "controls"));
    return TRUE;
}

BOOL DeleteService(SC_HANDLE service)
{
    if (service == nullptr || service->isManager)
        return FALSE;
    unlink(wantsLinkPath(service->unitName).c_str());
    const bool removed = unlink((unitFolder() + "/" + service->unitName).c_str()) == 0;
    reloadSystemd();
    return removed ? TRUE : FALSE;
}

BOOL CloseServiceHandle(SC_HANDLE handle)
{
    if (handle == nullptr)
        return FALSE;
    delete handle;
    return TRUE;
}

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable)
{
    const char* notifySocket = std::getenv("NOTIFY_SOCKET");
    if (serviceTable == nullptr || serviceTable[0].lpServiceName == nullptr ||
        serviceTable[0].lpServiceProc == nullptr || notifySocket == nullptr || notifySocket[0] == '\0')
        return FALSE;

    // Stop requests are read from a descriptor: blocked here before any other thread starts,
    // every thread of the service inherits the block. They stay blocked after the return, as
    // the process ends then anyway.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    {
        std::lock_guard<std::recursive_mutex> guard(dispatcher.lock);
        if (dispatcher.active || signalFd < 0 || wakeFd < 0) {
            if (signalFd >= 0)
                close(signalFd);
            if (wakeFd >= 0)
                close(wakeFd);
            return FALSE;
        }
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
        dispatcher.active = true;
        dispatcher.unitName = platform::serviceUnitName(serviceTable[0].lpServiceName);
        dispatcher.handler = nullptr;
        dispatcher.reported = false;
        dispatcher.wakeFd = wakeFd;
    }

    std::vector<std::string> argumentTexts{serviceTable[0].lpServiceName};
    for (const std::string& parameter : startParameters())
        argumentTexts.push_back(parameter);
    std::vector<char*> arguments;
    for (std::string& text : argumentTexts)
        arguments.push_back(text.data());
    arguments.push_back(nullptr);

    std::atomic<bool> serviceEnded{false};
    const LPSERVICE_MAIN_FUNCTIONA serviceMain = serviceTable[0].lpServiceProc;
    std::thread serviceThread([&] {
        serviceMain(static_cast<DWORD>(argumentTexts.size()), arguments.data());
        serviceEnded = true;
        wakeDispatcher();
    });

    bool stopAsked = false;
    while (!serviceEnded) {
        pollfd sources[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(sources, 2, -1) < 0 && errno != EINTR)
            break;
        signalfd_siginfo received;
        while (read(signalFd, &received, sizeof received) == static_cast<ssize_t>(sizeof received))
            stopAsked = true;
        uint64_t wakeUps = 0;
        if (read(wakeFd, &wakeUps, sizeof wakeUps) < 0) {
            // nothing reported since the last look
        }
        if (!stopAsked || serviceEnded)
            continue;
        std::lock_guard<std::recursive_mutex> guard(dispatcher.lock);
        switch (stopDelivery()) {
        case StopDelivery::deliverNow:
            stopAsked = false;
            dispatcher.handler(SERVICE_CONTROL_STOP);
            break;
        case StopDelivery::dropIt:
            stopAsked = false;
            break;
        case StopDelivery::keepWaiting:
            break;
        }
    }
    serviceThread.join();

    std::lock_guard<std::recursive_mutex> guard(dispatcher.lock);
    dispatcher.active = false;
    dispatcher.handler = nullptr;
    dispatcher.wakeFd = -1;
    close(wakeFd);
    close(signalFd);
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler)
{
    std::lock_guard<std::recursive_mutex> guard(dispatcher.lock);
    if (!dispatcher.active || serviceName == nullptr || handler == nullptr)
        return nullptr;
    dispatcher.handler = handler;
    return &reporter;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    if (handle != &reporter || status == nullptr)
        return FALSE;
    {
        std::lock_guard<std::recursive_mutex> guard(dispatcher.lock);
        if (!dispatcher.active)
            return FALSE;
        dispatcher.lastReport = *status;
        dispatcher.reported = true;
        recordStatus(dispatcher.unitName, *status);

        std::string message;
        if (status->dwCurrentState == SERVICE_RUNNING)
            message = "READY=1\n";
        else if (status->dwCurrentState == SERVICE_STOP_PENDING)
            message = "STOPPING=1\n";
        message += std::string("STATUS=") + stateText(status->dwCurrentState);
        sd_notify(0, message.c_str());
    }
    wakeDispatcher();
    return TRUE;
}
