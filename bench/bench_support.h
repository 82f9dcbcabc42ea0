// Measuring helpers for the benchmark: summaries, timed runs and clients, process counters.
// Scratch space, processes and ports come from the tests' support library.
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

// Runs a program to its end and returns its wall time in ms; negative when it failed or hung.
double timeWholeProcess(const std::vector<std::string>& command, const std::string& workingDir, int timeoutMs);

// One client as curl behaves: connect, send the request, read to the end, close. Never throws
// on a slow or broken reply: that is a figure too.
struct Fetched {
    bool complete = false;  // the server closed the connection within the time-out
    std::string bytes;
    double milliseconds = 0;  // connect to the last byte received
};
Fetched timedFetch(int port, const std::string& request, int timeoutMs);

// Processor seconds (user + system) and resident size of a running process.
double processorSeconds(int pid);
// Page faults served without a disk read, every thread included: fresh memory being touched.
long minorFaults(int pid);
long residentKiB(int pid);

}  // namespace bench
