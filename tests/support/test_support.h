// Helpers shared by the tests: scratch directories, real processes, loopback clients, test media.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace testing_support {

using Milliseconds = std::chrono::milliseconds;

// A fresh directory under /tmp, removed with everything in it at the end of the test.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// Exact bytes, no line break added.
void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
std::vector<std::string> readLines(const std::string& path);

// A configuration text from key/value lines, joined by LF, without a final line break.
std::string configText(const std::vector<std::pair<std::string, std::string>>& entries);

// A port that was free a moment ago on 127.0.0.1.
int freePort();

// A program started as a user starts it, its output going to files.
class Process {
public:
    // environment: extra NAME=value entries on top of this process's environment.
    Process(const std::string& binary, const std::vector<std::string>& arguments, const std::string& workingDir,
            const std::vector<std::string>& environment = {});
    ~Process();  // kills a process still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    int pid() const { return child; }
    bool running();
    // Exit status, or -1 when it did not end in time (it keeps running), or 128+signal after a signal.
    int waitExit(Milliseconds timeout);
    void signal(int number);
    std::string out() const;
    std::string err() const;
    // Waits until the standard output holds the text; false on time-out.
    bool waitForOutput(const std::string& text, Milliseconds timeout) const;

private:
    int child = -1;
    int status = -1;
    std::string outPath, errPath;
};

struct Finished {
    int status;
    std::string out, err;
};
// Runs a program to its end, failing the test when it takes longer than the time-out.
Finished runToEnd(const std::string& binary, const std::vector<std::string>& arguments, const std::string& workingDir,
                  Milliseconds timeout = Milliseconds(30000), const std::vector<std::string>& environment = {});

// A TCP connection to 127.0.0.1:port, or -1 when nothing accepts it; throws when no socket can be made.
int connectLoopback(int port, int receiveBuffer = 0);

// True once something accepts connections on 127.0.0.1:port.
bool waitForListener(int port, Milliseconds timeout);
// True once the process with that id holds a listening TCP socket on the port. Unlike
// waitForListener it makes no connection, so the server sees no client; false when the
// process has ended or the time-out passed.
bool waitForListeningSocket(int pid, int port, Milliseconds timeout);

// Connects, sends the request (may be empty), half-closes when asked, reads until the server closes.
// Returns everything received; throws std::runtime_error on connect failure or time-out.
std::string fetch(int port, const std::string& request = "GET / HTTP/1.0\r\n\r\n", bool halfClose = false,
                  Milliseconds timeout = Milliseconds(30000));

struct Reply {
    std::string header;  // up to and including the empty line
    std::string body;
};
// Splits at the first "\n\n".
Reply splitReply(const std::string& bytes);

// The response header every reply starts with.
extern const char* const expectedHeader;

cv::Mat decodeJpeg(const std::string& bytes);

// Sources that the configuration key deviceSource can name.
std::string testPatternPipeline(int width, int height);
// Writes a short MJPEG clip of moving colour bars; returns the path.
std::string writeTestClip(const std::string& path, int width, int height, int frames = 10);

// Writes a 16-bit mono PCM WAV of a quiet sine tone; returns the number of sample bytes.
size_t writeToneWav(const std::string& path, int sampleRate, int milliseconds);

// The built programs and the source tree.
std::string consoleBinary();
std::string sourceDir();

}  // namespace testing_support
