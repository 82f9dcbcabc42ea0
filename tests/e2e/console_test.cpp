// lumetra_console as a user starts it: a configuration file in its working directory, real
// sockets on 127.0.0.1, real clients, the real capture path fed through deviceSource.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <ostream>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "test_support.h"

using namespace testing_support;
using Config = std::vector<std::pair<std::string, std::string>>;

namespace {

const Milliseconds generous(30000);
const char* const grabFailure = "!cvGrabFrame(inStream)";
const char* const sendFailure = "TCPConnection: send() == SOCKET_ERROR";
const char* const bindFailure = "TCPConnection: bind == SOCKET_ERROR";
const char* const parsingFailure = "ConfigFile: parsing error!";
const std::regex logLinePrefix(R"(^[A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} GMT - )");

// A raw loopback client for the cases fetch() cannot play.
class Client {
public:
    explicit Client(int port, int receiveBuffer = 0) : fd(connectLoopback(port, receiveBuffer)), connected(fd >= 0) {}
    ~Client() { closeNow(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool isConnected() const { return connected; }
    void send(const std::string& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

    // Reads until the server closes or at least `wanted` bytes are in; false on time-out.
    bool read(std::string& received, size_t wanted = SIZE_MAX, Milliseconds timeout = generous)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buffer[65536];
        while (received.size() < wanted) {
            const auto left =
                std::chrono::duration_cast<Milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            pollfd entry{fd, POLLIN, 0};
            if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0)
                return false;
            const ssize_t got = recv(fd, buffer, std::min(sizeof buffer, wanted - received.size()), 0);
            if (got <= 0)
                return wanted == SIZE_MAX;
            received.append(buffer, static_cast<size_t>(got));
        }
        return true;
    }

    // Drops the connection with a reset instead of an orderly close.
    void reset()
    {
        linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        closeNow();
    }

    void closeNow()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

private:
    int fd = -1;
    bool connected = false;
};

// The message part of access-log lines, each line's time stamp checked on the way.
std::vector<std::string> logMessages(const std::string& path)
{
    std::vector<std::string> messages;
    for (const auto& line : readLines(path)) {
        std::smatch prefix;
        EXPECT_TRUE(std::regex_search(line, prefix, logLinePrefix)) << "log line: " << line;
        messages.push_back(prefix.empty() ? line : line.substr(static_cast<size_t>(prefix.length(0))));
    }
    return messages;
}

std::string repeated(const std::string& line, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += line;
    return text;
}

// Processor time the process has used so far, in clock ticks (utime + stime).
long cpuTicks(int pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {  // field 3 is the state
        if (index == 14)
            utime = std::stol(field);
        if (index == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}


class ConsoleTest : public ::testing::Test {
protected:
    ScratchDir dir;
    int port = freePort();
    std::unique_ptr<Process> console;

    // Writes lumetra.conf (with this test's port first) and starts the console without arguments,
    // as a user in that directory would; returns once it listens.
    void start(const Config& entries, const std::vector<std::string>& environment = {})
    {
        Config all{{"port", std::to_string(port)}};
        all.insert(all.end(), entries.begin(), entries.end());
        writeFile(dir.file("lumetra.conf"), configText(all));
        console = std::make_unique<Process>(consoleBinary(), std::vector<std::string>{}, dir.path(), environment);
        ASSERT_TRUE(waitForListeningSocket(console->pid(), port, generous))
            << "no listener on port " << port << "; stderr: " << console->err();
    }

    std::string lastPicture() const { return readFile(dir.file("last.jpeg")); }
};

// ---------------------------------------------------------------- start-up failures

struct UsageCase {
    const char* name;
    std::vector<std::string> arguments;
};

void PrintTo(const UsageCase& testCase, std::ostream* out)
{
    *out << testCase.name;
}

class UsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, PrintsUsageAndStartsNothing)
{
    ScratchDir dir;
    const int port = freePort();
    // A valid configuration is at hand, so anything the program started would show.
    writeFile(dir.file("lumetra.conf"),
              configText({{"port", std::to_string(port)}, {"createLog", "1"}, {"log", "access.log"}}));
    Process console(consoleBinary(), GetParam().arguments, dir.path());
    ASSERT_EQ(console.waitExit(generous), 0);
    EXPECT_EQ(console.err(), "usage: " + consoleBinary() + " [config]\n");
    EXPECT_EQ(console.out(), "");
    EXPECT_FALSE(fileExists(dir.file("access.log"))) << "the configuration must not have been read";
    EXPECT_FALSE(fileExists(dir.file("last.jpeg")));
}

INSTANTIATE_TEST_SUITE_P(Arguments, UsageTest,
                         ::testing::Values(UsageCase{"Two", {"lumetra.conf", "extra"}},
                                           UsageCase{"Three", {"a", "b", "c"}},
                                           UsageCase{"TwoEmpty", {"", ""}}),
                         [](const auto& info) { return std::string(info.param.name); });

struct RejectedConfigCase {
    const char* name;
    std::string text;
};

void PrintTo(const RejectedConfigCase& testCase, std::ostream* out)
{
    *out << testCase.name;
}

class RejectedConfigTest : public ::testing::TestWithParam<RejectedConfigCase> {};

TEST_P(RejectedConfigTest, EndsWithParsingError)
{
    ScratchDir dir;
    writeFile(dir.file("given.conf"), GetParam().text);
    const Finished run = runToEnd(consoleBinary(), {"given.conf"}, dir.path(), generous);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, std::string(parsingFailure) + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(fileExists(dir.file("access.log"))) << "a rejected file must not switch logging on";
}

const std::string loggingEntries = "createLog=1\nlog=access.log\nport=0";

INSTANTIATE_TEST_SUITE_P(
    Files, RejectedConfigTest,
    ::testing::Values(RejectedConfigCase{"FinalLineFeed", loggingEntries + "\n"},
                      RejectedConfigCase{"FinalCarriageReturnLineFeed", "createLog=1\r\nlog=access.log\r\nport=0\r\n"},
                      RejectedConfigCase{"EmptyLineBetween", "createLog=1\nlog=access.log\n\nport=0"},
                      RejectedConfigCase{"LineWithoutValue", "createLog=1\nlog=access.log\nport="},
                      RejectedConfigCase{"ZeroBytes", ""}),
    [](const auto& info) { return std::string(info.param.name); });

class TakenPortTest : public ::testing::TestWithParam<bool> {};

TEST_P(TakenPortTest, EndsWithBindError)
{
    const bool logging = GetParam();
    ScratchDir dir;
    const int blocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    socklen_t length = sizeof address;
    getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);
    const int port = ntohs(address.sin_port);

    writeFile(dir.file("lumetra.conf"), configText({{"port", std::to_string(port)},
                                                    {"createLog", logging ? "1" : "0"},
                                                    {"log", "access.log"}}));
    const Finished run = runToEnd(consoleBinary(), {}, dir.path(), generous);
    close(blocker);

    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, std::string(bindFailure) + "\n");
    EXPECT_EQ(run.out, "");
    if (logging)
        EXPECT_EQ(logMessages(dir.file("access.log")), (std::vector<std::string>{"program started", bindFailure}));
    else
        EXPECT_FALSE(fileExists(dir.file("access.log")));
}

INSTANTIATE_TEST_SUITE_P(Logging, TakenPortTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "LogOn" : "LogOff"; });

// ---------------------------------------------------------------- no camera

struct NoCameraCase {
    const char* name;
    Config camera;
    bool needsNoVideoDevice;
};

void PrintTo(const NoCameraCase& testCase, std::ostream* out)
{
    *out << testCase.name;
}

class NoCameraTest : public ConsoleTest, public ::testing::WithParamInterface<NoCameraCase> {};

TEST_P(NoCameraTest, SendsHeaderThenEndsWithGrabError)
{
    if (GetParam().needsNoVideoDevice && fileExists("/dev/video0"))
        GTEST_SKIP() << "this machine has a camera at /dev/video0";
    Config entries{{"createLog", "1"}, {"log", "access.log"}};
    entries.insert(entries.end(), GetParam().camera.begin(), GetParam().camera.end());
    ASSERT_NO_FATAL_FAILURE(start(entries));

    const std::string reply = fetch(port, "GET / HTTP/1.1\r\nHost: x\r\n\r\n", false, generous);
    EXPECT_EQ(reply, expectedHeader) << "the header alone, then the close";

    ASSERT_EQ(console->waitExit(generous), 0);
    EXPECT_EQ(console->err(), std::string(grabFailure) + "\n");
    EXPECT_EQ(console->out(), "Connection from 127.0.0.1\n");
    EXPECT_EQ(logMessages(dir.file("access.log")),
              (std::vector<std::string>{"program started", "127.0.0.1", grabFailure}));
    EXPECT_FALSE(fileExists(dir.file("last.jpeg")));
}

INSTANTIATE_TEST_SUITE_P(
    Sources, NoCameraTest,
    ::testing::Values(NoCameraCase{"DeviceZeroAbsent", {{"device", "0"}}, true},
                      NoCameraCase{"MissingClip", {{"deviceSource", "missing.avi"}}, false},
                      NoCameraCase{"MissingImage", {{"deviceSource", "missing.png"}}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- pictures

TEST_F(ConsoleTest, CurlGetsTheSavedPicture)
{
    ASSERT_NO_FATAL_FAILURE(start({{"deviceSource", testPatternPipeline(640, 480)}}));

    const Finished curl = runToEnd("/usr/bin/curl",
                                   {"--silent", "--show-error", "--max-time", "30", "--output", "picture.jpeg",
                                    "--write-out", "%{http_code}", "http://127.0.0.1:" + std::to_string(port) + "/"},
                                   dir.path(), generous);
    EXPECT_EQ(curl.status, 0) << curl.err;
    EXPECT_EQ(curl.out, "202");

    const std::string picture = readFile(dir.file("picture.jpeg"));
    const cv::Mat decoded = decodeJpeg(picture);
    ASSERT_FALSE(decoded.empty()) << "not a JPEG: " << picture.size() << " bytes";
    EXPECT_EQ(decoded.cols, 640);
    EXPECT_EQ(decoded.rows, 480);
    EXPECT_TRUE(picture == lastPicture()) << "the reply must be last.jpeg byte for byte";
    EXPECT_TRUE(console->waitForOutput("Connection from 127.0.0.1\n", generous));
    EXPECT_TRUE(console->running());
    EXPECT_EQ(console->err(), "");
}

struct PictureCase {
    const char* name;
    // Makes the source in the scratch directory and returns the deviceSource value.
    std::string (*source)(const ScratchDir&);
    Config scaling;
    int width, height;
    size_t moreBytesThan;
};

void PrintTo(const PictureCase& testCase, std::ostream* out)
{
    *out << testCase.name;
}

class PictureTest : public ConsoleTest, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(PictureTest, ReplyIsWholeAndSized)
{
    Config entries{{"deviceSource", GetParam().source(dir)}};
    entries.insert(entries.end(), GetParam().scaling.begin(), GetParam().scaling.end());
    ASSERT_NO_FATAL_FAILURE(start(entries));

    const Reply reply = splitReply(fetch(port, "GET / HTTP/1.0\r\n\r\n", false, generous));
    EXPECT_EQ(reply.header, expectedHeader);
    const cv::Mat picture = decodeJpeg(reply.body);
    ASSERT_FALSE(picture.empty()) << "body of " << reply.body.size() << " bytes is no JPEG";
    EXPECT_EQ(picture.cols, GetParam().width);
    EXPECT_EQ(picture.rows, GetParam().height);
    EXPECT_GT(reply.body.size(), GetParam().moreBytesThan);
    EXPECT_TRUE(reply.body == lastPicture()) << "body " << reply.body.size() << " bytes, last.jpeg "
                                             << lastPicture().size() << " bytes";
    EXPECT_EQ(console->err(), "");
}

std::string pattern640(const ScratchDir&)
{
    return testPatternPipeline(640, 480);
}

std::string snow1280(const ScratchDir&)
{
    return "videotestsrc pattern=snow ! video/x-raw,width=1280,height=720 ! videoconvert ! appsink";
}

std::string clip320(const ScratchDir& dir)
{
    return writeTestClip(dir.file("clip.avi"), 320, 240);
}

std::string imageFile(const ScratchDir& dir, const std::string& name)
{
    cv::Mat image(300, 400, CV_8UC3, cv::Scalar(40, 160, 220));
    cv::circle(image, cv::Point(200, 150), 100, cv::Scalar(255, 0, 0), cv::FILLED);
    cv::imwrite(dir.file(name), image);
    return name;
}

std::string png400(const ScratchDir& dir)
{
    return imageFile(dir, "still.png");
}

std::string jpeg400(const ScratchDir& dir)
{
    return imageFile(dir, "still.jpg");
}

const Config scaleTo320x240{{"resize", "1"}, {"resizeWidth", "320"}, {"resizeHeight", "240"}};

INSTANTIATE_TEST_SUITE_P(
    Sources, PictureTest,
    ::testing::Values(PictureCase{"PipelineScaledTo320x240", pattern640, scaleTo320x240, 320, 240, 0},
                      PictureCase{"PipelineUnscaled", pattern640, {}, 640, 480, 0},
                      PictureCase{"SwitchNotExactlyOneKeepsSize", pattern640,
                                  {{"resize", "1 "}, {"resizeWidth", "320"}, {"resizeHeight", "240"}}, 640, 480, 0},
                      PictureCase{"NoisyHdPictureOverOneBlock", snow1280, {}, 1280, 720, 65535},
                      PictureCase{"MjpegClip", clip320, {}, 320, 240, 0},
                      PictureCase{"PngImage", png400, {}, 400, 300, 0},
                      PictureCase{"JpegImageScaledUp", jpeg400,
                                  {{"resize", "1"}, {"resizeWidth", "800"}, {"resizeHeight", "600"}}, 800, 600, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConsoleTest, PipelineWithEqualsSignsInCapsWorksFromTheFile)
{
    // Caps and element properties are full of "=": the whole rest of the line is the source.
    const std::string pipeline =
        "videotestsrc pattern=ball num-buffers=100 ! video/x-raw,format=BGR,width=352,height=288 ! appsink";
    ASSERT_NO_FATAL_FAILURE(start({{"deviceSource", pipeline}}));
    ASSERT_NE(readFile(dir.file("lumetra.conf")).find("deviceSource=" + pipeline), std::string::npos);

    const cv::Mat picture = decodeJpeg(splitReply(fetch(port, "GET / HTTP/1.0\r\n\r\n", false, generous)).body);
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(picture.cols, 352);
    EXPECT_EQ(picture.rows, 288);
}

TEST_F(ConsoleTest, ConfigurationNamedByTheArgument)
{
    writeFile(dir.file("lumetra.conf"), "this line has no separator");
    writeFile(dir.file("other.conf"),
              configText({{"port", std::to_string(port)}, {"deviceSource", testPatternPipeline(320, 240)}}));
    console = std::make_unique<Process>(consoleBinary(), std::vector<std::string>{"other.conf"}, dir.path());
    ASSERT_TRUE(waitForListeningSocket(console->pid(), port, generous)) << console->err();
    const cv::Mat picture = decodeJpeg(splitReply(fetch(port, "GET / HTTP/1.0\r\n\r\n", false, generous)).body);
    EXPECT_EQ(picture.cols, 320);
}

// ---------------------------------------------------------------- the access log

TEST_F(ConsoleTest, LogHoldsStartAndOneAddressLinePerConnection)
{
    // The stamp says GMT and is GMT, with English names, whatever zone and locale the user has.
    unsetenv("TZ");
    unsetenv("LC_ALL");
    unsetenv("LANG");
    ASSERT_NO_FATAL_FAILURE(start({{"createLog", "1"}, {"log", "logs.txt"}, {"deviceSource", testPatternPipeline(160, 120)}},
                                  {"TZ=XYZ-5", "LC_ALL=de_DE.UTF-8", "LANG=de_DE.UTF-8"}));
    const std::time_t before = std::time(nullptr);
    for (int i = 0; i < 2; ++i)
        EXPECT_FALSE(splitReply(fetch(port, "GET / HTTP/1.0\r\n\r\n", false, generous)).body.empty());
    const std::time_t after = std::time(nullptr);

    EXPECT_EQ(logMessages(dir.file("logs.txt")), (std::vector<std::string>{"program started", "127.0.0.1", "127.0.0.1"}));
    const std::string last = readLines(dir.file("logs.txt")).back();
    std::tm stamp{};
    ASSERT_NE(strptime(last.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &stamp), nullptr) << last;
    // A stamp in the zone's local time (UTC+5) would lie five hours off.
    const std::time_t shown = timegm(&stamp);
    EXPECT_GE(shown, before - 2) << last;
    EXPECT_LE(shown, after + 2) << last;
    EXPECT_EQ(console->out(), "Connection from 127.0.0.1\nConnection from 127.0.0.1\n");
}

// ---------------------------------------------------------------- awkward clients

TEST_F(ConsoleTest, SilentClientGetsWholeReplyAndNextClientIsServed)
{
    ASSERT_NO_FATAL_FAILURE(start({{"deviceSource", testPatternPipeline(320, 240)}}));
    Client silent(port);
    ASSERT_TRUE(silent.isConnected());
    std::this_thread::sleep_for(Milliseconds(3000));
    std::string reply;
    ASSERT_TRUE(silent.read(reply)) << "no end of reply";
    EXPECT_EQ(splitReply(reply).header, expectedHeader);
    EXPECT_FALSE(decodeJpeg(splitReply(reply).body).empty());

    const Reply next = splitReply(fetch(port, "GET / HTTP/1.0\r\n\r\n", false, generous));
    EXPECT_EQ(next.header, expectedHeader);
    EXPECT_FALSE(decodeJpeg(next.body).empty());
    EXPECT_TRUE(console->running());
}

TEST_F(ConsoleTest, RequestSplitAcrossPacketsGetsTheSameReply)
{
    ASSERT_NO_FATAL_FAILURE(start({{"deviceSource", testPatternPipeline(320, 240)}}));
    Client client(port);
    ASSERT_TRUE(client.isConnected());
    for (const char* piece : {"GET / HT", "TP/1.1\r\nHo", "st: 127.0.0.1\r\n", "\r\n"}) {
        client.send(piece);
        std::this_thread::sleep_for(Milliseconds(150));
    }
    std::string reply;
    ASSERT_TRUE(client.read(reply));
    EXPECT_EQ(splitReply(reply).header, expectedHeader);
    EXPECT_TRUE(splitReply(reply).body == lastPicture());
    EXPECT_FALSE(decodeJpeg(splitReply(reply).body).empty());
    EXPECT_TRUE(console->running());
}

struct EmptyRequestCase {
    const char* name;
    bool waitsForReply;  // half-closes and reads, or closes at once
};

void PrintTo(const EmptyRequestCase& testCase, std::ostream* out)
{
    *out << testCase.name;
}

class EmptyRequestTest : public ConsoleTest, public ::testing::WithParamInterface<EmptyRequestCase> {};

TEST_P(EmptyRequestTest, ConsoleGoesOnServing)
{
    ASSERT_NO_FATAL_FAILURE(start({{"deviceSource", testPatternPipeline(320, 240)}}));
    if (GetParam().waitsForReply) {
        const Reply reply = splitReply(fetch(port, "", true, generous));
        EXPECT_EQ(reply.header, expectedHeader);
        EXPECT_FALSE(decodeJpeg(reply.body).empty());
    } else {
        Client gone(port);
        ASSERT_TRUE(gone.isConnected());
        gone.closeNow();
        ASSERT_TRUE(console->waitForOutput("Connection from 127.0.0.1\n", generous));
    }

    const Reply next = splitReply(fetch(port, "GET / HTTP/1.0\r\n\r\n", false, generous));
    EXPECT_EQ(next.header, expectedHeader);
    EXPECT_FALSE(decodeJpeg(next.body).empty());
    EXPECT_TRUE(console->running()) << console->err();
    EXPECT_EQ(console->out(), repeated("Connection from 127.0.0.1\n", 2));
    EXPECT_EQ(console->err(), "");
}

INSTANTIATE_TEST_SUITE_P(Clients, EmptyRequestTest,
                         ::testing::Values(EmptyRequestCase{"HalfClosedThenReads", true},
                                           EmptyRequestCase{"ClosedAtOnce", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConsoleTest, ClientResettingMidPictureEndsConsoleWithSendError)
{
    ASSERT_NO_FATAL_FAILURE(start({{"createLog", "1"},
           {"log", "access.log"},
           {"deviceSource", "videotestsrc pattern=snow ! video/x-raw,width=1920,height=1080 ! videoconvert ! appsink"}}));
    Client client(port, 1024);
    ASSERT_TRUE(client.isConnected());
    client.send("GET / HTTP/1.0\r\n\r\n");
    std::string beginning;
    ASSERT_TRUE(client.read(beginning, std::string(expectedHeader).size() + 2048)) << "no picture bytes arrived";
    ASSERT_EQ(beginning.substr(0, std::string(expectedHeader).size()), expectedHeader);
    client.reset();

    const int status = console->waitExit(generous);
    EXPECT_EQ(status, 0) << "128+13 would be a death by SIGPIPE";
    EXPECT_EQ(console->err(), std::string(sendFailure) + "\n");
    EXPECT_EQ(logMessages(dir.file("access.log")),
              (std::vector<std::string>{"program started", "127.0.0.1", sendFailure}));
}

// ---------------------------------------------------------------- idling

TEST_F(ConsoleTest, IdleConsoleDoesNotSpin)
{
    ASSERT_NO_FATAL_FAILURE(start({{"deviceSource", testPatternPipeline(160, 120)}}));
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    const long before = cpuTicks(console->pid());
    std::this_thread::sleep_for(Milliseconds(2000));
    const long used = cpuTicks(console->pid()) - before;
    EXPECT_LT(used, ticksPerSecond / 2) << "an idle console used " << used << " ticks of " << ticksPerSecond
                                        << " per second in 2 s";
    EXPECT_TRUE(console->running());
}

// ---------------------------------------------------------------- the sound cue

class SoundTest : public ConsoleTest {
protected:
    std::string audioFile() const { return dir.file("audio.raw"); }
    std::vector<std::string> diskAudio() const
    {
        return {"SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + audioFile()};
    }
};

TEST_F(SoundTest, WavIsPlayedWhenTheRequestIsServed)
{
    const size_t sampleBytes = writeToneWav(dir.file("shutter.wav"), 22050, 300);
    ASSERT_NO_FATAL_FAILURE(start({{"sound", "shutter.wav"}, {"deviceSource", testPatternPipeline(320, 240)}}, diskAudio()));
    EXPECT_FALSE(fileExists(audioFile())) << "nothing plays before a client comes";

    const Reply reply = splitReply(fetch(port, "GET / HTTP/1.0\r\n\r\n", false, generous));
    EXPECT_FALSE(decodeJpeg(reply.body).empty());
    EXPECT_GE(readFile(audioFile()).size(), sampleBytes);
    EXPECT_EQ(console->out(), "Connection from 127.0.0.1\n");
    EXPECT_EQ(console->err(), "") << "library chatter on stderr";
}

TEST_F(SoundTest, SoundPlaysBeforeTheGrab)
{
    // Without a camera the grab fails: the samples must have been played by then.
    const size_t sampleBytes = writeToneWav(dir.file("shutter.wav"), 22050, 300);
    ASSERT_NO_FATAL_FAILURE(start({{"sound", "shutter.wav"}, {"deviceSource", "missing.avi"}}, diskAudio()));
    EXPECT_EQ(fetch(port, "GET / HTTP/1.0\r\n\r\n", false, generous), expectedHeader);
    ASSERT_EQ(console->waitExit(generous), 0);
    EXPECT_EQ(console->err(), std::string(grabFailure) + "\n");
    EXPECT_GE(readFile(audioFile()).size(), sampleBytes);
}

TEST_F(SoundTest, MissingSoundFilePlaysNothing)
{
    ASSERT_NO_FATAL_FAILURE(start({{"sound", "absent.wav"}, {"deviceSource", testPatternPipeline(320, 240)}}, diskAudio()));
    const Reply reply = splitReply(fetch(port, "GET / HTTP/1.0\r\n\r\n", false, generous));
    EXPECT_FALSE(decodeJpeg(reply.body).empty());
    EXPECT_EQ(readFile(audioFile()).size(), 0u) << "no audio device may have been opened";
    EXPECT_EQ(console->out(), "Connection from 127.0.0.1\n");
    EXPECT_EQ(console->err(), "");
}

}  // namespace
