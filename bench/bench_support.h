// Measuring helpers for the benchmark: summaries, scratch space, processes, loopback clients.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start);
void pauseMs(int milliseconds);

struct Summary {
    double median = 0, min = 0, max = 0;
    size_t count = 0;
};
Summary summarise(std::vector<double> values);

// A fresh directory under /tmp, removed with its contents at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string file(const std::string& name) const { return dir + "/" + name; }
    const std::string& path() const { return dir; }

private:
    std::string dir;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

// A program started in its own working directory, output to files there; killed at the end.
class Process {
public:
    Process(const std::string& binary, const std::vector<std::string>& arguments, const std::string& workingDir,
            const std::vector<std::string>& environment = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    int pid() const { return child; }
    bool running();
    // Exit status, -1 when still running after the time-out.
    int waitExit(int timeoutMs);
    std::string err() const;

private:
    int child = -1;
    int status = -1;
    std::string errPath;
};

// Runs a program to its end and returns its wall time in ms; negative when it failed or hung.
double timeWholeProcess(const std::vector<std::string>& command, const std::string& workingDir, int timeoutMs);

int freePort();
// Waits until something listens on the port. Seen in the kernel's socket table, not by connecting:
// the console server ends when a client leaves before its picture is sent.
bool waitForListener(int port, int timeoutMs);

// One client as curl behaves: connect, send the request, read to the end, close.
struct Fetched {
    bool complete = false;  // the server closed the connection within the time-out
    std::string bytes;
    double milliseconds = 0;  // connect to the last byte received
};
Fetched fetch(int port, const std::string& request, int timeoutMs);

// Processor seconds (user + system) and resident size of a running process.
double processorSeconds(int pid);
// Page faults served without a disk read, every thread included: fresh memory being touched.
long minorFaults(int pid);
long residentKiB(int pid);

}  // namespace bench
