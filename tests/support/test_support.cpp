#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

extern char** environ;

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

int connectLoopback(int port, int receiveBuffer)
{
    // Close-on-exec: a program started meanwhile must not hold the connection open.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    // Set before the connect, so the window the server sees is small from the start.
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
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

const char* const expectedHeader =
    "HTTP/1.1 202 OK\n"
    "Server: Orvalis 0.1 alpha\n"
    "Connection: close\n"
    "Content-type: image/jpeg\n"
    "Cache-Control: no-store, no-cache, must-revalidate\n"
    "Cache-Control: pre-check=0, post-check=0, max-age=0\n"
    "Content-Transfer-Encoding: none\n"
    "\n";

ScratchDir::ScratchDir()
{
    char pattern[] = "/tmp/lumetra-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
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
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool fileExists(const std::string& path)
{
    return std::filesystem::exists(path);
}

std::vector<std::string> readLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string configText(const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::string text;
    for (const auto& [key, value] : entries) {
        if (!text.empty())
            text += '\n';
        text += key + "=" + value;
    }
    return text;
}

int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

Process::Process(const std::string& binary, const std::vector<std::string>& arguments, const std::string& workingDir,
                 const std::vector<std::string>& environment)
{
    static int serial = 0;
    const std::string stem = workingDir + "/.process-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    outPath = stem + ".out";
    errPath = stem + ".err";

    std::vector<std::string> argumentTexts{binary};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : argumentTexts)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    std::vector<std::string> environmentTexts;
    for (char** entry = environ; *entry != nullptr; ++entry)
        environmentTexts.emplace_back(*entry);
    environmentTexts.insert(environmentTexts.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& text : environmentTexts)
        envp.push_back(text.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, workingDir.c_str());
    pid_t pid = -1;
    const int result = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0)
        throw std::runtime_error("cannot start " + binary + ": " + std::strerror(result));
    child = pid;
}

Process::~Process()
{
    if (running()) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
}

bool Process::running()
{
    if (status != -1 || child <= 0)
        return false;
    int raw = 0;
    if (waitpid(child, &raw, WNOHANG) == child) {
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return false;
    }
    return true;
}

int Process::waitExit(Milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (running()) {
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(Milliseconds(10));
    }
    return status;
}

void Process::signal(int number)
{
    if (running())
        kill(child, number);
}

std::string Process::out() const
{
    return readFile(outPath);
}

std::string Process::err() const
{
    return readFile(errPath);
}

bool Process::waitForOutput(const std::string& text, Milliseconds timeout) const
{
    const auto deadline = Clock::now() + timeout;
    while (out().find(text) == std::string::npos) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(Milliseconds(10));
    }
    return true;
}

Finished runToEnd(const std::string& binary, const std::vector<std::string>& arguments, const std::string& workingDir,
                  Milliseconds timeout, const std::vector<std::string>& environment)
{
    Process process(binary, arguments, workingDir, environment);
    const int status = process.waitExit(timeout);
    EXPECT_NE(status, -1) << binary << " did not end within " << timeout.count() << " ms";
    return Finished{status, process.out(), process.err()};
}

bool waitForListener(int port, Milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const int fd = connectLoopback(port);
        if (fd >= 0) {
            // A probe connection is itself a client: close it at once, so a server
            // that serves it sees an empty request and goes on.
            close(fd);
            return true;
        }
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(Milliseconds(10));
    }
}

namespace {

// Inodes of the sockets in LISTEN state on the port, from a /proc/net/tcp-style table.
std::vector<std::string> listeningInodes(const std::string& table, int port)
{
    std::vector<std::string> inodes;
    std::istringstream lines(readFile(table));
    std::string line;
    std::getline(lines, line);  // column titles
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeouts, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeouts >> inode;
        const size_t colon = local.rfind(':');
        if (state != "0A" || colon == std::string::npos)
            continue;
        if (std::stoi(local.substr(colon + 1), nullptr, 16) == port)
            inodes.push_back(inode);
    }
    return inodes;
}

bool processEnded(int pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z' || stat[close + 2] == 'X';
}

bool holdsSocket(int pid, const std::vector<std::string>& inodes)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        for (const auto& inode : inodes)
            if (target == "socket:[" + inode + "]")
                return true;
    }
    return false;
}

}  // namespace

bool waitForListeningSocket(int pid, int port, Milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::vector<std::string> inodes = listeningInodes("/proc/net/tcp", port);
        const std::vector<std::string> inodes6 = listeningInodes("/proc/net/tcp6", port);
        inodes.insert(inodes.end(), inodes6.begin(), inodes6.end());
        if (!inodes.empty() && holdsSocket(pid, inodes))
            return true;
        if (processEnded(pid) || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(Milliseconds(10));
    }
}

std::string fetch(int port, const std::string& request, bool halfClose, Milliseconds timeout)
{
    const int fd = connectLoopback(port);
    if (fd < 0)
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    if (!request.empty() && send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
        close(fd);
        throw std::runtime_error("send failed");
    }
    if (halfClose)
        shutdown(fd, SHUT_WR);
    const auto deadline = Clock::now() + timeout;
    std::string received;
    char buffer[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()).count();
        pollfd entry{fd, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0) {
            close(fd);
            throw std::runtime_error("no end of reply within " + std::to_string(timeout.count()) + " ms");
        }
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        received.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return received;
}

Reply splitReply(const std::string& bytes)
{
    const size_t end = bytes.find("\n\n");
    if (end == std::string::npos)
        return Reply{bytes, std::string()};
    return Reply{bytes.substr(0, end + 2), bytes.substr(end + 2)};
}

cv::Mat decodeJpeg(const std::string& bytes)
{
    const std::vector<uchar> data(bytes.begin(), bytes.end());
    return data.empty() ? cv::Mat() : cv::imdecode(data, cv::IMREAD_COLOR);
}

std::string testPatternPipeline(int width, int height)
{
    return "videotestsrc is-live=true ! video/x-raw,width=" + std::to_string(width) +
           ",height=" + std::to_string(height) + " ! videoconvert ! appsink";
}

std::string writeTestClip(const std::string& path, int width, int height, int frames)
{
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, cv::Size(width, height));
    if (!writer.isOpened())
        throw std::runtime_error("cannot write " + path);
    for (int i = 0; i < frames; ++i) {
        cv::Mat frame(height, width, CV_8UC3);
        for (int band = 0; band < 8; ++band) {
            const cv::Scalar colour((band & 1) * 255, ((band >> 1) & 1) * 255, ((band >> 2) & 1) * 255);
            cv::rectangle(frame, cv::Rect(band * width / 8, 0, width / 8 + 1, height), colour, cv::FILLED);
        }
        cv::putText(frame, std::to_string(i), cv::Point(width / 3, height / 2), cv::FONT_HERSHEY_SIMPLEX, 2,
                    cv::Scalar(128, 128, 128), 3);
        writer.write(frame);
    }
    return path;
}

size_t writeToneWav(const std::string& path, int sampleRate, int milliseconds)
{
    const uint32_t samples = static_cast<uint32_t>(sampleRate) * static_cast<uint32_t>(milliseconds) / 1000;
    const uint32_t dataBytes = samples * 2;
    std::string bytes = "RIFF";
    auto put32 = [&bytes](uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
    };
    auto put16 = [&bytes](uint16_t value) {
        bytes.push_back(static_cast<char>(value & 0xFF));
        bytes.push_back(static_cast<char>(value >> 8));
    };
    put32(36 + dataBytes);
    bytes += "WAVEfmt ";
    put32(16);
    put16(1);  // PCM
    put16(1);  // mono
    put32(static_cast<uint32_t>(sampleRate));
    put32(static_cast<uint32_t>(sampleRate) * 2);
    put16(2);
    put16(16);
    bytes += "data";
    put32(dataBytes);
    for (uint32_t i = 0; i < samples; ++i)
        put16(static_cast<uint16_t>(static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * i / sampleRate))));
    writeFile(path, bytes);
    return dataBytes;
}

std::string consoleBinary()
{
    return LUMETRA_CONSOLE_BINARY;
}

std::string sourceDir()
{
    return LUMETRA_SOURCE_DIR;
}

}  // namespace testing_support
