// The benchmark: the console server's snapshot against the bare capture pipeline, a peer
// program and libjpeg-turbo, plus its idle cost, memory growth and behaviour under 32 clients.
// Prints one Markdown table on standard output, progress on standard error. Timings never fail it.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <malloc.h>
#include <memory>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <turbojpeg.h>

#include "bench_support.h"
#include "test_support.h"

using namespace bench;
using testing_support::configText;
using testing_support::freePort;
using testing_support::Milliseconds;
using testing_support::Process;
using testing_support::readFile;
using testing_support::ScratchDir;
using testing_support::waitForListeningSocket;
using testing_support::writeFile;

namespace {

// LUMETRA_BENCH_CONSOLE names another build of the console to measure, for before-and-after runs.
std::string consoleBinary()
{
    const char* other = std::getenv("LUMETRA_BENCH_CONSOLE");
    return other != nullptr && other[0] != '\0' ? other : testing_support::consoleBinary();
}

const std::string request = "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
const std::string expectedHeader = testing_support::expectedHeader;
// What OpenCV writes when no quality is given, and so what the peer and libjpeg-turbo get.
const int jpegQuality = 95;
const cv::Size scaledSize(320, 240);
const int fetchTimeoutMs = 30000;
// Lets a server finish the release after its last reply before anything else is timed.
const int settleMs = 40;

int settingOr(const char* name, int fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

std::string sizeText(cv::Size size)
{
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// ---- the table -------------------------------------------------------------------------------

struct Row {
    std::string figure, subject, median, min, max, goal, met;
};
std::vector<Row> table;

void addRow(const std::string& figure, const std::string& subject, const Summary& summary, const std::string& unit,
            int decimals, const std::string& goal = "reported", const std::string& met = "")
{
    const std::string suffix = unit.empty() ? "" : " " + unit;
    table.push_back(Row{figure, subject, fixed(summary.median, decimals) + suffix, fixed(summary.min, decimals) + suffix,
                        fixed(summary.max, decimals) + suffix, goal, met});
}

void addText(const std::string& figure, const std::string& subject, const std::string& value,
             const std::string& goal = "reported", const std::string& met = "")
{
    table.push_back(Row{figure, subject, value, "", "", goal, met});
}

std::string verdict(bool met)
{
    return met ? "met" : "NOT met";
}

void printTable()
{
    std::cout << "| figure | case | median | min | max | goal | |\n|---|---|---:|---:|---:|---|---|\n";
    for (const Row& row : table)
        std::cout << "| " << row.figure << " | " << row.subject << " | " << row.median << " | " << row.min << " | "
                  << row.max << " | " << row.goal << " | " << row.met << " |\n";
    std::cout << std::flush;
}

void progress(const std::string& text)
{
    std::cerr << "[bench] " << text << std::endl;
}

// ---- sources and the server -------------------------------------------------------------------

struct Source {
    std::string name;
    std::string text;  // the deviceSource value
    int backend;       // the backend the bare pipeline opens it with
    cv::Size size;
};

// Non-live, so frames come as fast as they are made and the server's own cost shows.
Source testPattern(cv::Size size)
{
    return Source{"pattern " + sizeText(size),
                  "videotestsrc ! video/x-raw,width=" + std::to_string(size.width) +
                      ",height=" + std::to_string(size.height) + " ! videoconvert ! appsink",
                  cv::CAP_GSTREAMER, size};
}

Source mjpegClip(const std::string& path, cv::Size size)
{
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, size);
    if (!writer.isOpened())
        throw std::runtime_error("cannot write " + path);
    for (int i = 0; i < 10; ++i) {
        cv::Mat frame(size, CV_8UC3);
        for (int band = 0; band < 8; ++band) {
            const cv::Scalar colour((band & 1) * 255, ((band >> 1) & 1) * 255, ((band >> 2) & 1) * 255);
            cv::rectangle(frame, cv::Rect(band * size.width / 8, 0, size.width / 8 + 1, size.height), colour,
                          cv::FILLED);
        }
        cv::putText(frame, std::to_string(i), cv::Point(size.width / 3, size.height / 2), cv::FONT_HERSHEY_SIMPLEX, 2,
                    cv::Scalar(128, 128, 128), 3);
        writer.write(frame);
    }
    return Source{"MJPEG .avi " + sizeText(size), path, cv::CAP_FFMPEG, size};
}

using Settings = std::vector<std::pair<std::string, std::string>>;

Settings serverSettings(const Source& source, bool scaled, int port)
{
    return Settings{{"port", std::to_string(port)},
                    {"createLog", "0"},
                    {"resize", scaled ? "1" : "0"},
                    {"resizeWidth", std::to_string(scaledSize.width)},
                    {"resizeHeight", std::to_string(scaledSize.height)},
                    {"deviceSource", source.text},
                    {"devicePreTimeout", "0"},
                    {"devicePostTimeout", "0"}};
}

// lumetra_console in a directory of its own, listening and past its first request.
class ConsoleServer {
public:
    ConsoleServer(const Source& source, bool scaled, const std::string& binary = consoleBinary()) : port(freePort())
    {
        writeFile(dir.file("lumetra.conf"), configText(serverSettings(source, scaled, port)));
        process = std::make_unique<Process>(binary, std::vector<std::string>{}, dir.path());
        // Seen in the kernel's socket table, not by connecting: the console ends when a client
        // leaves before its picture is sent.
        if (!waitForListeningSocket(process->pid(), port, Milliseconds(10000)))
            throw std::runtime_error("lumetra_console did not listen: " + process->err());
        for (int i = 0; i < 3; ++i)
            timedFetch(port, request, fetchTimeoutMs);
    }
    int pid() const { return process->pid(); }
    bool running() { return process->running(); }

    const int port;

private:
    ScratchDir dir;
    std::unique_ptr<Process> process;
};

// A whole reply: the header byte for byte, then a JPEG that decodes to the expected size.
bool wholePicture(const Fetched& reply, cv::Size expected, bool decode)
{
    if (!reply.complete || reply.bytes.size() < expectedHeader.size() + 4 ||
        reply.bytes.compare(0, expectedHeader.size(), expectedHeader) != 0)
        return false;
    const auto* body = reinterpret_cast<const unsigned char*>(reply.bytes.data()) + expectedHeader.size();
    const size_t length = reply.bytes.size() - expectedHeader.size();
    if (body[0] != 0xFF || body[1] != 0xD8 || body[length - 2] != 0xFF || body[length - 1] != 0xD9)
        return false;
    if (!decode)
        return true;
    const cv::Mat picture = cv::imdecode(cv::Mat(1, static_cast<int>(length), CV_8U, const_cast<unsigned char*>(body)),
                                         cv::IMREAD_COLOR);
    return picture.size() == expected;
}

// ---- snapshot against the bare pipeline --------------------------------------------------------

// The least the work costs, in this process: open, grab, retrieve, (scale), write the file, read it back, release.
double barePipeline(const Source& source, bool scaled, const std::string& file)
{
    const auto start = Clock::now();
    cv::VideoCapture capture(source.text, source.backend);
    cv::Mat frame, scaledFrame;
    if (!capture.grab() || !capture.retrieve(frame) || frame.empty())
        return -1;
    const cv::Mat* picture = &frame;
    if (scaled) {
        cv::resize(frame, scaledFrame, scaledSize, 0, 0, cv::INTER_CUBIC);
        picture = &scaledFrame;
    }
    if (!cv::imwrite(file, *picture))
        return -1;
    const std::string bytes = readFile(file);
    capture.release();
    const double elapsed = millisecondsSince(start);
    return bytes.size() > 4 ? elapsed : -1;
}

struct Pair {
    std::vector<double> served, bare, roundRatios;
    // Processor time per request and per bare run, one entry a round: what other programs on
    // the machine do changes these far less than the wall-clock times.
    std::vector<double> servedCpu, bareCpu, cpuRatios;
    double servedCpuTotal = 0, bareCpuTotal = 0;
    long servedFaults = 0, bareFaults = 0;
    int servedCount = 0, bareCount = 0;
    int failures = 0;
};

// Side by side: rounds of a block of back-to-back requests, then a block of bare pipelines.
// A request's wait includes the release after the one before it, as the bare pipeline includes
// its own release; the first request of a block has none before it and is not counted.
Pair measureAgainstBare(const Source& source, bool scaled, const std::string& scratchFile, int rounds, int block)
{
    ConsoleServer server(source, scaled);
    const cv::Size expected = scaled ? scaledSize : source.size;
    Pair pair;
    for (int i = 0; i < 2; ++i)
        barePipeline(source, scaled, scratchFile);
    for (int round = 0; round < rounds; ++round) {
        std::vector<double> served, bare;
        const double serverBefore = processorSeconds(server.pid());
        const long serverFaultsBefore = minorFaults(server.pid());
        for (int i = 0; i <= block; ++i) {
            const Fetched reply = timedFetch(server.port, request, fetchTimeoutMs);
            if (!wholePicture(reply, expected, i == 1))
                ++pair.failures;
            else if (i > 0)
                served.push_back(reply.milliseconds);
        }
        pauseMs(settleMs);
        // Every request of the block, its release included (the pause lets the last one finish).
        const double serverCpu = 1000 * (processorSeconds(server.pid()) - serverBefore) / (block + 1);
        pair.servedFaults += minorFaults(server.pid()) - serverFaultsBefore;
        const double selfBefore = processorSeconds(getpid());
        const long selfFaultsBefore = minorFaults(getpid());
        for (int i = 0; i < block; ++i) {
            const double elapsed = barePipeline(source, scaled, scratchFile);
            if (elapsed < 0)
                ++pair.failures;
            else
                bare.push_back(elapsed);
        }
        const double bareCpu = 1000 * (processorSeconds(getpid()) - selfBefore) / block;
        pair.bareFaults += minorFaults(getpid()) - selfFaultsBefore;
        if (!served.empty() && !bare.empty())
            pair.roundRatios.push_back(summarise(served).median / summarise(bare).median);
        pair.servedCpu.push_back(serverCpu);
        pair.bareCpu.push_back(bareCpu);
        if (bareCpu > 0)
            pair.cpuRatios.push_back(serverCpu / bareCpu);
        pair.servedCpuTotal += serverCpu * (block + 1);
        pair.servedCount += block + 1;
        pair.bareCpuTotal += bareCpu * block;
        pair.bareCount += block;
        pair.served.insert(pair.served.end(), served.begin(), served.end());
        pair.bare.insert(pair.bare.end(), bare.begin(), bare.end());
    }
    return pair;
}

void snapshotFigures(const std::vector<Source>& sources, const std::string& scratchFile)
{
    const int rounds = settingOr("LUMETRA_BENCH_ROUNDS", 8);
    const int block = settingOr("LUMETRA_BENCH_BLOCK", 10);
    std::vector<Row> latency, bare, overhead, cpu;
    for (const Source& source : sources) {
        for (const bool scaled : {true, false}) {
            const std::string subject = source.name + (scaled ? " → 320x240" : "");
            progress("snapshot and bare pipeline: " + subject);
            const Pair pair = measureAgainstBare(source, scaled, scratchFile, rounds, block);
            const Summary served = summarise(pair.served);
            const Summary alone = summarise(pair.bare);
            const Summary ratios = summarise(pair.roundRatios);
            const double ratio = alone.median > 0 ? served.median / alone.median : 0;
            const std::string failed = pair.failures ? " (" + std::to_string(pair.failures) + " failed)" : "";
            latency.push_back(Row{"snapshot latency", subject + failed, fixed(served.median, 2) + " ms",
                                  fixed(served.min, 2) + " ms", fixed(served.max, 2) + " ms", "reported", ""});
            bare.push_back(Row{"bare pipeline", subject, fixed(alone.median, 2) + " ms", fixed(alone.min, 2) + " ms",
                               fixed(alone.max, 2) + " ms", "least cost", ""});
            overhead.push_back(Row{"overhead", subject, fixed(ratio, 3), fixed(ratios.min, 3), fixed(ratios.max, 3),
                                   "≤ 1.10", verdict(ratio <= 1.10 && pair.failures == 0)});
            const Summary servedCpu = summarise(pair.servedCpu), bareCpu = summarise(pair.bareCpu);
            const Summary cpuRatios = summarise(pair.cpuRatios);
            const double perRequest = pair.servedCount ? pair.servedCpuTotal / pair.servedCount : 0;
            const double perRun = pair.bareCount ? pair.bareCpuTotal / pair.bareCount : 0;
            cpu.push_back(Row{"processor time: server", subject + ", per request", fixed(perRequest, 2) + " ms",
                              fixed(servedCpu.min, 2) + " ms", fixed(servedCpu.max, 2) + " ms", "reported", ""});
            cpu.push_back(Row{"processor time: bare", subject + ", per run", fixed(perRun, 2) + " ms",
                              fixed(bareCpu.min, 2) + " ms", fixed(bareCpu.max, 2) + " ms", "reported", ""});
            cpu.push_back(Row{"page faults per request: server ÷ bare", subject,
                              fixed(pair.servedCount ? double(pair.servedFaults) / pair.servedCount : 0, 1) + " ÷ " +
                                  fixed(pair.bareCount ? double(pair.bareFaults) / pair.bareCount : 0, 1),
                              "", "", "reported", ""});
            cpu.push_back(Row{"overhead in processor time", subject, fixed(perRun > 0 ? perRequest / perRun : 0, 3),
                              fixed(cpuRatios.min, 3), fixed(cpuRatios.max, 3), "≤ 1.10",
                              verdict(perRun > 0 && perRequest / perRun <= 1.10)});
        }
    }
    table.insert(table.end(), latency.begin(), latency.end());
    table.insert(table.end(), bare.begin(), bare.end());
    table.insert(table.end(), overhead.begin(), overhead.end());
    table.insert(table.end(), cpu.begin(), cpu.end());
}

// ---- before and after -------------------------------------------------------------------------

// Two console builds side by side in one run, blocks taking turns: the change a code edit makes is
// smaller than the drift between runs on a shared machine.
void compareFigures(const std::vector<Source>& sources)
{
    const char* before = std::getenv("LUMETRA_BENCH_BEFORE");
    if (before == nullptr || before[0] == '\0') {
        addText("before ÷ after", "n/a (LUMETRA_BENCH_BEFORE names no earlier build)", "n/a");
        return;
    }
    const int rounds = settingOr("LUMETRA_BENCH_COMPARE_ROUNDS", 30);
    const int block = settingOr("LUMETRA_BENCH_BLOCK", 10);
    for (const Source& source : sources) {
        for (const bool scaled : {true, false}) {
            const std::string subject = source.name + (scaled ? " → 320x240" : "");
            progress("before and after: " + subject);
            const cv::Size expected = scaled ? scaledSize : source.size;
            ConsoleServer earlier(source, scaled, before), later(source, scaled);
            std::vector<double> wall[2], cpu[2], wallRatios, cpuRatios;
            long faults[2] = {0, 0};
            int failures = 0;
            for (int round = 0; round < rounds; ++round) {
                double roundWall[2], roundCpu[2];
                for (int which = 0; which < 2; ++which) {
                    // Alternating which goes first keeps any order effect out of the ratio.
                    const int side = (round + which) % 2;
                    ConsoleServer& server = side == 0 ? earlier : later;
                    std::vector<double> served;
                    const double cpuBefore = processorSeconds(server.pid());
                    const long faultsBefore = minorFaults(server.pid());
                    for (int i = 0; i <= block; ++i) {
                        const Fetched reply = timedFetch(server.port, request, fetchTimeoutMs);
                        if (!wholePicture(reply, expected, i == 1))
                            ++failures;
                        else if (i > 0)
                            served.push_back(reply.milliseconds);
                    }
                    pauseMs(settleMs);
                    roundCpu[side] = 1000 * (processorSeconds(server.pid()) - cpuBefore) / (block + 1);
                    faults[side] += minorFaults(server.pid()) - faultsBefore;
                    roundWall[side] = summarise(served).median;
                    wall[side].insert(wall[side].end(), served.begin(), served.end());
                    cpu[side].push_back(roundCpu[side]);
                }
                wallRatios.push_back(roundWall[0] / roundWall[1]);
                cpuRatios.push_back(roundCpu[0] / roundCpu[1]);
            }
            const std::string failed = failures ? " (" + std::to_string(failures) + " failed)" : "";
            addRow("before: latency", subject + failed, summarise(wall[0]), "ms", 2);
            addRow("after: latency", subject, summarise(wall[1]), "ms", 2);
            addRow("before ÷ after: latency", subject, summarise(wallRatios), "", 3);
            addRow("before: processor time", subject + ", per request", summarise(cpu[0]), "ms", 3);
            addRow("after: processor time", subject + ", per request", summarise(cpu[1]), "ms", 3);
            addRow("before ÷ after: processor time", subject, summarise(cpuRatios), "", 3);
            const double requests = static_cast<double>(rounds) * (block + 1);
            addText("page faults per request: before, after", subject,
                    fixed(faults[0] / requests, 1) + ", " + fixed(faults[1] / requests, 1));
        }
    }
}

// ---- the peer ----------------------------------------------------------------------------------

void peerFigures(const ScratchDir& scratch)
{
    const int shots = settingOr("LUMETRA_BENCH_PEER_SHOTS", 25);
    for (const cv::Size size : {cv::Size(640, 480), cv::Size(1280, 720)}) {
        const Source source = testPattern(size);
        progress("peer: fswebcam against the snapshot at " + sizeText(size));
        ConsoleServer server(source, false);
        const std::vector<std::string> command{"fswebcam", "-q", "-d", "TEST", "-r", sizeText(size), "--no-banner",
                                               "--jpeg", std::to_string(jpegQuality), "-D", "0", "-S", "0",
                                               scratch.file("peer.jpeg")};
        std::vector<double> peer, ours, ratios;
        int failures = 0;
        for (int shot = 0; shot < shots; ++shot) {
            const double whole = timeWholeProcess(command, scratch.path(), 30000);
            pauseMs(settleMs);
            std::vector<double> round;
            for (int i = 0; i < 3; ++i) {
                const Fetched reply = timedFetch(server.port, request, fetchTimeoutMs);
                if (!wholePicture(reply, size, false))
                    ++failures;
                else if (i > 0)
                    round.push_back(reply.milliseconds);
            }
            pauseMs(settleMs);
            if (whole < 0) {
                ++failures;
                continue;
            }
            peer.push_back(whole);
            ours.insert(ours.end(), round.begin(), round.end());
            if (!round.empty())
                ratios.push_back(whole / summarise(round).median);
        }
        const Summary peerTime = summarise(peer), ourTime = summarise(ours), spread = summarise(ratios);
        const double ratio = ourTime.median > 0 ? peerTime.median / ourTime.median : 0;
        const std::string failed = failures ? " (" + std::to_string(failures) + " failed)" : "";
        addRow("peer: fswebcam", "one shot, TEST source " + sizeText(size) + failed, peerTime, "ms", 2);
        addRow("peer: our snapshot", source.name, ourTime, "ms", 2);
        table.push_back(Row{"peer ratio", "fswebcam ÷ snapshot, " + sizeText(size), fixed(ratio, 2) + "×",
                            fixed(spread.min, 2) + "×", fixed(spread.max, 2) + "×", "≥ 2×",
                            verdict(ratio >= 2 && failures == 0)});
    }
}

// ---- idle cost -----------------------------------------------------------------------------------

// The service only serves under a service manager: a datagram socket stands in for its notify socket.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path(path)
    {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind " + path);
    }
    ~NotifySocket()
    {
        close(fd);
        unlink(path.c_str());
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

private:
    std::string path;
    int fd = -1;
};

struct IdleProgram {
    std::unique_ptr<ScratchDir> dir;
    std::unique_ptr<NotifySocket> notify;
    std::unique_ptr<Process> process;
    int port = 0;
};

IdleProgram startIdle(const std::string& binary, bool asService)
{
    IdleProgram program;
    program.dir = std::make_unique<ScratchDir>();
    program.port = freePort();
    const Source source = testPattern(cv::Size(640, 480));
    writeFile(program.dir->file("lumetra.conf"), configText(serverSettings(source, false, program.port)));
    std::vector<std::string> environment;
    if (asService) {
        // Installed under a private root (the registry record of its directory and its unit file),
        // then started as the service manager would start it.
        const std::string root = "LUMETRA_PLATFORM_ROOT=" + program.dir->file("root");
        environment.push_back(root);
        Process installer(binary, {"install"}, program.dir->path(), environment);
        installer.waitExit(Milliseconds(30000));
        program.notify = std::make_unique<NotifySocket>(program.dir->file("notify"));
        environment.push_back("NOTIFY_SOCKET=" + program.dir->file("notify"));
    }
    program.process = std::make_unique<Process>(binary, std::vector<std::string>{}, program.dir->path(), environment);
    return program;
}

void idleFigures()
{
    const int seconds = settingOr("LUMETRA_BENCH_IDLE_SECONDS", 10);
    const int copies = 3;
    struct Program {
        std::string name, binary;
        bool asService;
    };
    std::vector<Program> programs{{"lumetra_console", consoleBinary(), false}};
#ifdef LUMETRA_SERVICE_BINARY
    programs.push_back({"lumetra_service", LUMETRA_SERVICE_BINARY, true});
#endif
    progress("idle cost over " + std::to_string(seconds) + " s, " + std::to_string(copies) + " processes each");
    std::vector<std::vector<IdleProgram>> running(programs.size());
    for (size_t p = 0; p < programs.size(); ++p) {
        for (int copy = 0; copy < copies; ++copy) {
            IdleProgram program = startIdle(programs[p].binary, programs[p].asService);
            // Past start-up and its first picture, so only the wait is measured.
            if (waitForListeningSocket(program.process->pid(), program.port, Milliseconds(15000)))
                timedFetch(program.port, request, fetchTimeoutMs);
            running[p].push_back(std::move(program));
        }
    }
    pauseMs(500);
    std::vector<std::vector<double>> before(programs.size());
    for (size_t p = 0; p < programs.size(); ++p)
        for (IdleProgram& program : running[p])
            before[p].push_back(program.process->running() ? processorSeconds(program.process->pid()) : -1);
    const auto start = Clock::now();
    pauseMs(seconds * 1000);
    const double wall = millisecondsSince(start) / 1000;
    for (size_t p = 0; p < programs.size(); ++p) {
        std::vector<double> shares;
        int failures = 0;
        for (size_t i = 0; i < running[p].size(); ++i) {
            Process& process = *running[p][i].process;
            if (before[p][i] < 0 || !process.running()) {
                progress(programs[p].name + " ended early: " + process.err());
                ++failures;
                continue;
            }
            shares.push_back(100 * (processorSeconds(process.pid()) - before[p][i]) / wall);
        }
        const Summary share = summarise(shares);
        const std::string subject = std::to_string(seconds) + " s, " + std::to_string(shares.size()) + " processes" +
                                    (failures ? " (" + std::to_string(failures) + " did not run)" : "");
        addRow("idle cost: " + programs[p].name, subject, share, "% of a core", 2, "< 1%",
               verdict(failures == 0 && share.max < 1));
    }
#ifndef LUMETRA_SERVICE_BINARY
    addText("idle cost: lumetra_service", "n/a (service not built)", "n/a", "< 1%", "n/a");
#endif
}

// ---- memory and concurrency ----------------------------------------------------------------------

void memoryFigures()
{
    const int total = settingOr("LUMETRA_BENCH_MEMORY_REQUESTS", 10000);
    const Source source = testPattern(cv::Size(640, 480));
    progress("memory: " + std::to_string(total) + " requests, " + source.name + " → 320x240");
    ConsoleServer server(source, true);  // 3 requests already served
    int served = 3, failures = 0;
    long after100 = -1;
    // Every thousandth reading tells a one-off step up (a high-water mark of the heap) from a steady leak.
    std::string readings;
    const auto start = Clock::now();
    while (served < total && server.running()) {
        if (!wholePicture(timedFetch(server.port, request, fetchTimeoutMs), scaledSize, served % 1000 == 0))
            ++failures;
        ++served;
        if (served == 100)
            after100 = residentKiB(server.pid());
        if (served % 1000 == 0) {
            const long resident = residentKiB(server.pid());
            readings += (readings.empty() ? "" : " ") + fixed((resident - after100) / 1024.0, 2);
            progress("  " + std::to_string(served) + " requests, " + fixed(millisecondsSince(start) / 1000, 1) + " s, " +
                     std::to_string(resident) + " KiB resident");
        }
    }
    const long afterAll = server.running() ? residentKiB(server.pid()) : -1;
    const long growth = afterAll - after100;
    const std::string failed = failures ? ", " + std::to_string(failures) + " failed" : "";
    addText("memory", "resident after 100 requests", std::to_string(after100) + " KiB");
    addText("memory", "resident after " + std::to_string(served) + " requests" + failed,
            std::to_string(afterAll) + " KiB");
    addText("memory", "growth over 100 requests, in MiB, every 1000 requests", readings);
    addText("memory growth", "after " + std::to_string(served) + " against after 100", std::to_string(growth) + " KiB",
            "< 1024 KiB", verdict(after100 > 0 && afterAll > 0 && growth < 1024 && failures == 0));
}

void concurrencyFigures()
{
    const int clients = 32;
    const int rounds = settingOr("LUMETRA_BENCH_CONCURRENT_ROUNDS", 5);
    const cv::Size size(640, 480);
    progress("concurrency: " + std::to_string(rounds) + " rounds of " + std::to_string(clients) + " clients");
    ConsoleServer server(testPattern(size), false);
    std::vector<double> totals;
    std::atomic<int> failures{0};
    for (int round = 0; round < rounds; ++round) {
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int client = 0; client < clients; ++client) {
            threads.emplace_back([&] {
                while (!go.load())
                    std::this_thread::yield();
                // Generous: connections past the listener's backlog wait for a SYN retry.
                if (!wholePicture(timedFetch(server.port, request, 120000), size, true))
                    ++failures;
            });
        }
        const auto start = Clock::now();
        go = true;
        for (std::thread& thread : threads)
            thread.join();
        totals.push_back(millisecondsSince(start));
        pauseMs(200);
    }
    addRow("concurrency", std::to_string(clients) + " clients at once, total time, " + std::to_string(rounds) + " rounds",
           summarise(totals), "ms", 1);
    addText("concurrency", "failed clients of " + std::to_string(clients * rounds), std::to_string(failures.load()),
            "0", verdict(failures.load() == 0));
}

// ---- the encoder ---------------------------------------------------------------------------------

void encoderFigures(const ScratchDir& scratch)
{
    const int runs = settingOr("LUMETRA_BENCH_ENCODER_RUNS", 60);
    tjhandle compressor = tjInitCompress();
    if (compressor == nullptr) {
        addText("encoder", "tjInitCompress failed", "n/a");
        return;
    }
    for (const cv::Size size : {cv::Size(640, 480), cv::Size(1280, 720)}) {
        progress("encoder: cv::imwrite against tjCompress2 at " + sizeText(size));
        cv::VideoCapture capture(testPattern(size).text, cv::CAP_GSTREAMER);
        cv::Mat frame;
        if (!capture.read(frame) || frame.empty()) {
            addText("encoder", "no frame at " + sizeText(size), "n/a");
            continue;
        }
        std::vector<double> opencv, turbo, ratios;
        size_t opencvBytes = 0, turboBytes = 0;
        for (int run = 0; run < runs; ++run) {
            auto start = Clock::now();
            cv::imwrite(scratch.file("opencv.jpeg"), frame);
            const double opencvMs = millisecondsSince(start);

            start = Clock::now();
            unsigned char* jpeg = nullptr;
            unsigned long jpegSize = 0;
            // 4:2:0 and the accurate DCT: what OpenCV asks of libjpeg by default.
            const int failed = tjCompress2(compressor, frame.data, frame.cols, static_cast<int>(frame.step), frame.rows,
                                           TJPF_BGR, &jpeg, &jpegSize, TJSAMP_420, jpegQuality, 0);
            if (failed == 0) {
                std::FILE* file = std::fopen(scratch.file("turbo.jpeg").c_str(), "wb");
                if (file != nullptr) {
                    std::fwrite(jpeg, 1, jpegSize, file);
                    std::fclose(file);
                }
            }
            const double turboMs = millisecondsSince(start);
            tjFree(jpeg);
            if (failed != 0)
                continue;
            opencv.push_back(opencvMs);
            turbo.push_back(turboMs);
            ratios.push_back(opencvMs / turboMs);
            turboBytes = jpegSize;
        }
        opencvBytes = readFile(scratch.file("opencv.jpeg")).size();
        const Summary a = summarise(opencv), b = summarise(turbo), r = summarise(ratios);
        addRow("encoder: cv::imwrite", sizeText(size) + " q95 to a file, " + std::to_string(opencvBytes) + " bytes", a,
               "ms", 3);
        addRow("encoder: tjCompress2", sizeText(size) + " q95 4:2:0 + fwrite, " + std::to_string(turboBytes) + " bytes",
               b, "ms", 3);
        table.push_back(Row{"encoder ratio", "imwrite ÷ tjCompress2, " + sizeText(size),
                            fixed(b.median > 0 ? a.median / b.median : 0, 3), fixed(r.min, 3), fixed(r.max, 3),
                            "reported", ""});
    }
    tjDestroy(compressor);
}

}  // namespace

int main(int argc, char** argv)
{
    // Figures by name (snapshot peer encoder concurrency idle memory); all of them when none is named.
    std::vector<std::string> chosen(argv + 1, argv + argc);
    const auto wanted = [&](const std::string& name) {
        return chosen.empty() || std::find(chosen.begin(), chosen.end(), name) != chosen.end();
    };
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    setenv("GST_DEBUG", "0", 0);
    // The bare pipeline gets the memory thresholds the server sets for itself (platform/posix/media.cpp):
    // otherwise page faults of freed and re-allocated frames would be counted as work.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
    try {
        ScratchDir scratch;
        if (wanted("snapshot")) {
            const std::vector<Source> sources{testPattern(cv::Size(640, 480)), testPattern(cv::Size(1280, 720)),
                                              mjpegClip(scratch.file("clip-640x480.avi"), cv::Size(640, 480)),
                                              mjpegClip(scratch.file("clip-1280x720.avi"), cv::Size(1280, 720))};
            snapshotFigures(sources, scratch.file("bare.jpeg"));
        }
        // Only on request: a before-and-after run of two builds.
        if (std::find(chosen.begin(), chosen.end(), "compare") != chosen.end())
            compareFigures({testPattern(cv::Size(640, 480)), testPattern(cv::Size(1280, 720)),
                            mjpegClip(scratch.file("compare-640x480.avi"), cv::Size(640, 480))});
        if (wanted("peer"))
            peerFigures(scratch);
        if (wanted("encoder"))
            encoderFigures(scratch);
        if (wanted("concurrency"))
            concurrencyFigures();
        if (wanted("idle"))
            idleFigures();
        if (wanted("memory"))
            memoryFigures();
    } catch (const std::exception& error) {
        // A broken set-up ends the run; what was measured is still printed.
        std::cerr << "[bench] stopped: " << error.what() << std::endl;
        printTable();
        return 2;
    }
    printTable();
    return 0;
}
