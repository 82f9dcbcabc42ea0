// What the service tests share: a fake service manager (the notify socket systemd would hold),
// a moved platform root, an installation directory and the figures read from /proc.
#pragma once

#include <string>
#include <vector>

#include "test_support.h"

namespace service_testing {

using testing_support::Milliseconds;

std::string serviceBinary();
// The same source with short poll and retry periods, for figures over many restarts.
std::string quickServiceBinary();

// Stands in for systemd: owns the notify socket and collects what the service reports.
class FakeServiceManager {
public:
    explicit FakeServiceManager(const std::string& socketPath);
    ~FakeServiceManager();
    FakeServiceManager(const FakeServiceManager&) = delete;
    FakeServiceManager& operator=(const FakeServiceManager&) = delete;

    std::string environmentEntry() const { return "NOTIFY_SOCKET=" + path; }
    // Every datagram received so far, in order.
    std::vector<std::string> notifications();
    bool waitForNotification(const std::string& message, Milliseconds timeout);

private:
    void collect();
    std::string path;
    int fd = -1;
    std::vector<std::string> received;
};

// A moved platform root and an installation directory holding lumetra.conf.
class ServiceFixture {
public:
    ServiceFixture();
    const std::string& root() const { return rootDir.path(); }
    const std::string& appDir() const { return app.path(); }
    std::string appFile(const std::string& name) const { return app.file(name); }
    std::vector<std::string> environment() const { return {"LUMETRA_PLATFORM_ROOT=" + root()}; }

    std::string recordPath() const;
    std::string unitPath() const;
    std::string wantsLinkPath() const;

    // lumetra.conf for the test pattern camera, logging to access.log.
    void writeConfig(int port, const std::vector<std::pair<std::string, std::string>>& extra = {}) const;
    testing_support::Finished run(const std::vector<std::string>& arguments) const;
    void install() const;

private:
    testing_support::ScratchDir rootDir;
    testing_support::ScratchDir app;
};

// The service as the fake manager starts it, from a working directory that is not the installation's.
class RunningService {
public:
    RunningService(const ServiceFixture& fixture, const std::vector<std::string>& startParameters = {},
                   const std::string& binary = serviceBinary());
    FakeServiceManager& manager() { return fakeManager; }
    testing_support::Process& process() { return service; }
    bool waitUntilRunning();
    // Sends the signal and waits for the end; returns the exit status (-1: still running) and the time taken.
    int stop(int signalNumber, Milliseconds& taken);

private:
    testing_support::ScratchDir elsewhere;
    FakeServiceManager fakeManager;
    testing_support::Process service;
};

const char* const startPending = "STATUS=start pending";
const char* const running = "READY=1\nSTATUS=running";
const char* const stopPending = "STOPPING=1\nSTATUS=stop pending";
const char* const stopped = "STATUS=stopped";

// Lines of the access log, time stamps removed.
std::vector<std::string> logMessages(const std::string& logPath);
size_t countMessages(const std::string& logPath, const std::string& message);
bool waitForMessageCount(const std::string& logPath, const std::string& message, size_t count, Milliseconds timeout);

// Processor time (user and system) used so far, and the resident size.
Milliseconds cpuTime(int pid);
long residentKb(int pid);

// A client that takes the response header and then resets the connection, so that sending the picture fails.
void abandonAfterHeader(int port, Milliseconds timeout = Milliseconds(30000));

// A listener on 127.0.0.1 holding the port until it is destroyed.
class PortBlocker {
public:
    explicit PortBlocker(int port);
    ~PortBlocker();
    PortBlocker(const PortBlocker&) = delete;
    PortBlocker& operator=(const PortBlocker&) = delete;
    void release();

private:
    int fd = -1;
};

}  // namespace service_testing
