#include "bench_support.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "test_support.h"

namespace bench {

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void pauseMs(int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

Summary summarise(std::vector<double> values)
{
    Summary summary;
    summary.count = values.size();
    if (values.empty())
        return summary;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    summary.median = values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    summary.min = values.front();
    summary.max = values.back();
    return summary;
}

namespace {

// Found on the PATH as a shell finds it, all output discarded.
[[noreturn]] void execInto(const std::vector<std::string>& command, const std::string& workingDir)
{
    if (chdir(workingDir.c_str()) != 0)
        _exit(126);
    const int quiet = open("/dev/null", O_RDWR);
    if (quiet < 0)
        _exit(126);
    dup2(quiet, 0);
    dup2(quiet, 1);
    dup2(quiet, 2);
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

int waitChild(int child, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0 || Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

}  // namespace

double timeWholeProcess(const std::vector<std::string>& command, const std::string& workingDir, int timeoutMs)
{
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0)
        execInto(command, workingDir);
    const int status = waitChild(child, timeoutMs);
    const double elapsed = millisecondsSince(start);
    if (status == -1) {
        kill(child, SIGKILL);
        waitChild(child, 2000);
    }
    return status == 0 ? elapsed : -1;
}

Fetched timedFetch(int port, const std::string& request, int timeoutMs)
{
    Fetched result;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    const int fd = testing_support::connectLoopback(port);
    if (fd < 0)
        return result;
    if (!request.empty() && send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
        close(fd);
        return result;
    }
    char buffer[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{fd, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0)
            break;
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            result.complete = got == 0;
            break;
        }
        result.bytes.append(buffer, static_cast<size_t>(got));
    }
    result.milliseconds = millisecondsSince(start);
    close(fd);
    return result;
}

double processorSeconds(int pid)
{
    // The process's own CPU clock: every thread, those that have ended too, in nanoseconds
    // (the tick counts of /proc/<pid>/stat are too coarse for a request of a few milliseconds).
    clockid_t clock;
    timespec time{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &time) != 0)
        return -1;
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

long minorFaults(int pid)
{
    const std::string stat = testing_support::readFile("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold spaces: fields are counted from its closing parenthesis; minflt is field 10.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int number = 3; number <= 10 && fields >> field; ++number) {
        if (number == 10)
            return std::atol(field.c_str());
    }
    return -1;
}

long residentKiB(int pid)
{
    std::istringstream status(testing_support::readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

}  // namespace bench
