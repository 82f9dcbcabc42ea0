#include "service_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace service_testing {

using namespace testing_support;
using Clock = std::chrono::steady_clock;

std::string serviceBinary()
{
    return LUMETRA_SERVICE_BINARY;
}

std::string quickServiceBinary()
{
    return LUMETRA_QUICK_SERVICE_BINARY;
}

FakeServiceManager::FakeServiceManager(const std::string& socketPath) : path(socketPath)
{
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof address.sun_path)
        throw std::runtime_error("cannot make the notify socket " + path);
    std::strcpy(address.sun_path, path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot bind the notify socket " + path);
}

FakeServiceManager::~FakeServiceManager()
{
    close(fd);
    unlink(path.c_str());
}

void FakeServiceManager::collect()
{
    char datagram[4096];
    for (;;) {
        const ssize_t got = recv(fd, datagram, sizeof datagram, 0);
        if (got < 0)
            return;
        received.emplace_back(datagram, static_cast<size_t>(got));
    }
}

std::vector<std::string> FakeServiceManager::notifications()
{
    collect();
    return received;
}

bool FakeServiceManager::waitForNotification(const std::string& message, Milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        collect();
        for (const std::string& one : received) {
            if (one == message)
                return true;
        }
        if (Clock::now() >= deadline)
            return false;
        pollfd entry{fd, POLLIN, 0};
        poll(&entry, 1, 20);
    }
}

ServiceFixture::ServiceFixture()
{
    // A test run that is itself a systemd service must not hand its socket on.
    unsetenv("NOTIFY_SOCKET");
    // Readable by the unprivileged user some tests run the program as.
    chmod(rootDir.path().c_str(), 0755);
    chmod(app.path().c_str(), 0755);
}

std::string ServiceFixture::recordPath() const
{
    return root() + "/var/lib/lumetra-registry/HKEY_LOCAL_MACHINE/Software/lumetra_service/path";
}

std::string ServiceFixture::unitPath() const
{
    return root() + "/etc/systemd/system/lumetra-service.service";
}

std::string ServiceFixture::wantsLinkPath() const
{
    return root() + "/etc/systemd/system/multi-user.target.wants/lumetra-service.service";
}

void ServiceFixture::writeConfig(int port, const std::vector<std::pair<std::string, std::string>>& extra) const
{
    std::vector<std::pair<std::string, std::string>> entries{
        {"port", std::to_string(port)},
        {"createLog", "1"},
        {"log", "access.log"},
        {"deviceSource", testPatternPipeline(64, 48)},
    };
    entries.insert(entries.end(), extra.begin(), extra.end());
    writeFile(appFile("lumetra.conf"), configText(entries));
}

Finished ServiceFixture::run(const std::vector<std::string>& arguments) const
{
    return runToEnd(serviceBinary(), arguments, appDir(), Milliseconds(30000), environment());
}

void ServiceFixture::install() const
{
    const Finished installed = run({"install"});
    ASSERT_EQ(installed.status, 0);
    ASSERT_EQ(installed.out, "trying to install service...\n");
    ASSERT_EQ(installed.err, "");
}

namespace {

std::vector<std::string> serviceEnvironment(const ServiceFixture& fixture, const FakeServiceManager& manager)
{
    std::vector<std::string> environment = fixture.environment();
    environment.push_back(manager.environmentEntry());
    return environment;
}

}  // namespace

RunningService::RunningService(const ServiceFixture& fixture, const std::vector<std::string>& startParameters,
                               const std::string& binary)
    : fakeManager(elsewhere.file("notify")),
      service(binary, startParameters, elsewhere.path(), serviceEnvironment(fixture, fakeManager))
{
}

bool RunningService::waitUntilRunning()
{
    return fakeManager.waitForNotification(running, Milliseconds(30000));
}

int RunningService::stop(int signalNumber, Milliseconds& taken)
{
    const auto start = Clock::now();
    service.signal(signalNumber);
    const int status = service.waitExit(Milliseconds(10000));
    taken = std::chrono::duration_cast<Milliseconds>(Clock::now() - start);
    return status;
}

std::vector<std::string> logMessages(const std::string& logPath)
{
    std::vector<std::string> messages;
    for (const std::string& line : readLines(logPath)) {
        const size_t separator = line.find(" GMT - ");
        messages.push_back(separator == std::string::npos ? line : line.substr(separator + 7));
    }
    return messages;
}

size_t countMessages(const std::string& logPath, const std::string& message)
{
    size_t count = 0;
    for (const std::string& one : logMessages(logPath))
        count += one == message ? 1 : 0;
    return count;
}

bool waitForMessageCount(const std::string& logPath, const std::string& message, size_t count, Milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (countMessages(logPath, message) < count) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(Milliseconds(20));
    }
    return true;
}

Milliseconds cpuTime(int pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long long ticks = 0;
    // After the name: state is field 3; user time is field 14 and system time field 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number >= 14)
            ticks += std::stoll(field);
    }
    return Milliseconds(ticks * 1000 / sysconf(_SC_CLK_TCK));
}

long residentKb(int pid)
{
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

void abandonAfterHeader(int port, Milliseconds timeout)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0)
            close(fd);
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    }
    const std::string request = "GET / HTTP/1.0\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    const auto deadline = Clock::now() + timeout;
    std::string received;
    char buffer[4096];
    while (received.find("\n\n") == std::string::npos) {
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()).count();
        pollfd entry{fd, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0)
            break;
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        received.append(buffer, static_cast<size_t>(got));
    }
    const linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
    if (received.find("\n\n") == std::string::npos)
        throw std::runtime_error("no response header from port " + std::to_string(port));
}

PortBlocker::PortBlocker(int port)
{
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0)
        throw std::runtime_error("cannot hold port " + std::to_string(port));
}

PortBlocker::~PortBlocker()
{
    release();
}

void PortBlocker::release()
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

}  // namespace service_testing
