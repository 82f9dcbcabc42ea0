#include "bench_support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

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

ScratchDir::ScratchDir()
{
    char pattern[] = "/tmp/lumetra-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("cannot create a scratch directory");
    dir = pattern;
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

namespace {

[[noreturn]] void execInto(const std::vector<std::string>& command, const std::string& workingDir,
                           const std::string& outPath, const std::string& errPath,
                           const std::vector<std::string>& environment)
{
    if (chdir(workingDir.c_str()) != 0)
        _exit(126);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0)
        _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const std::string& entry : environment)
        putenv(const_cast<char*>(entry.c_str()));
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

int connectTo(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

Process::Process(const std::string& binary, const std::vector<std::string>& arguments, const std::string& workingDir,
                 const std::vector<std::string>& environment)
    : errPath(workingDir + "/stderr.txt")
{
    std::vector<std::string> command{binary};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const std::string outPath = workingDir + "/stdout.txt";
    child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0)
        execInto(command, workingDir, outPath, errPath, environment);
}

Process::~Process()
{
    if (running()) {
        kill(child, SIGTERM);
        if (waitExit(2000) == -1) {
            kill(child, SIGKILL);
            waitExit(2000);
        }
    }
}

bool Process::running()
{
    if (status != -1)
        return false;
    int raw = 0;
    if (waitpid(child, &raw, WNOHANG) == child) {
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return false;
    }
    return true;
}

int Process::waitExit(int timeoutMs)
{
    if (status == -1)
        status = waitChild(child, timeoutMs);
    return status;
}

std::string Process::err() const
{
    return readFile(errPath);
}

double timeWholeProcess(const std::vector<std::string>& command, const std::string& workingDir, int timeoutMs)
{
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0)
        execInto(command, workingDir, "/dev/null", "/dev/null", {});
    const int status = waitChild(child, timeoutMs);
    const double elapsed = millisecondsSince(start);
    if (status == -1) {
        kill(child, SIGKILL);
        waitChild(child, 2000);
    }
    return status == 0 ? elapsed : -1;
}

int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no free port");
    close(fd);
    return ntohs(address.sin_port);
}

bool listening(int port)
{
    // Local address and state columns of /proc/net/tcp: "00000000:1F90 ... 0A" is a listener on port 8080.
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    std::istringstream table(readFile("/proc/net/tcp"));
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0)
            return true;
    }
    return false;
}

bool waitForListener(int port, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!listening(port)) {
        if (Clock::now() >= deadline)
            return false;
        pauseMs(10);
    }
    return true;
}

Fetched fetch(int port, const std::string& request, int timeoutMs)
{
    Fetched result;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    const int fd = connectTo(port);
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
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
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
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

}  // namespace bench
