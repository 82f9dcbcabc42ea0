// The request cycle on real loopback sockets, with a stand-in camera that can fail on demand.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <regex>
#include <set>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "../../server/lumetra.h"
#include "fake_capture.h"
#include "server_state.h"
#include "test_support.h"

using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace {

// Ends the whole test program when a step hangs, so a hang fails instead of blocking the run.
class Watchdog {
public:
    Watchdog(Milliseconds limit, std::string what) : what(std::move(what))
    {
        guard = std::thread([this, limit] {
            std::unique_lock<std::mutex> lock(mutex);
            if (!wake.wait_for(lock, limit, [this] { return done; })) {
                std::fprintf(stderr, "hang: %s did not finish within %lld ms\n", this->what.c_str(),
                             static_cast<long long>(limit.count()));
                std::abort();
            }
        });
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        wake.notify_all();
        guard.join();
    }

private:
    std::string what;
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::thread guard;
};

struct ClientPlan {
    std::vector<std::string> parts{"GET / HTTP/1.0\r\n\r\n"};
    Milliseconds silenceFirst{0};      // before the first part
    Milliseconds pauseBetweenParts{0};
    bool halfClose = false;            // after the last part
    int receiveBuffer = 0;             // SO_RCVBUF when > 0
    size_t resetAfterBytes = 0;        // abort with RST once this much has arrived (0: never)
};

// A loopback client: connects at once, then a thread sends the plan and reads until the server closes.
// Sending and reading interleave, so a long request cannot deadlock against a long reply.
class Client {
public:
    Client(int port, ClientPlan plan) : plan(std::move(plan))
    {
        fd = connectLoopback(port, this->plan.receiveBuffer);
        if (fd < 0)
            throw std::runtime_error("connect failed");
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        worker = std::thread([this] { run(); });
    }

    ~Client()
    {
        stop = true;
        worker.join();
        if (fd >= 0)
            close(fd);
    }

    // Everything received once the server has closed; fails the test when it does not close in time.
    std::string reply(Milliseconds timeout = Milliseconds(60000))
    {
        std::unique_lock<std::mutex> lock(mutex);
        const bool closed = changed.wait_for(lock, timeout, [this] { return ended; });
        EXPECT_TRUE(closed) << "the server did not close the connection";
        return received;
    }

    bool waitForBytes(size_t count, Milliseconds timeout = Milliseconds(30000))
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return received.size() >= count || ended; }) &&
               received.size() >= count;
    }

    std::string receivedSoFar()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }

    bool closedByServer()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return ended && !failed;
    }

private:
    void run()
    {
        const auto giveUp = Clock::now() + std::chrono::seconds(90);
        std::deque<std::string> parts(plan.parts.begin(), plan.parts.end());
        std::string outgoing;
        auto nextPartAt = Clock::now() + plan.silenceFirst;
        bool sendingDone = false;
        char buffer[65536];
        while (!stop && Clock::now() < giveUp) {
            if (!sendingDone && outgoing.empty()) {
                if (!parts.empty() && Clock::now() >= nextPartAt) {
                    outgoing = parts.front();
                    parts.pop_front();
                    nextPartAt = Clock::now() + plan.pauseBetweenParts;
                } else if (parts.empty()) {
                    if (plan.halfClose)
                        shutdown(fd, SHUT_WR);
                    sendingDone = true;
                }
            }
            pollfd entry{fd, static_cast<short>(POLLIN | (outgoing.empty() ? 0 : POLLOUT)), 0};
            if (poll(&entry, 1, 20) < 0)
                continue;
            if (!outgoing.empty() && (entry.revents & POLLOUT)) {
                const ssize_t sent = send(fd, outgoing.data(), outgoing.size(), MSG_NOSIGNAL);
                if (sent > 0)
                    outgoing.erase(0, static_cast<size_t>(sent));
            }
            if (entry.revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
                if (got < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                std::lock_guard<std::mutex> lock(mutex);
                if (got <= 0) {
                    // Closed at once, as browsers do: the server's close does not wait on us.
                    close(fd);
                    fd = -1;
                    ended = true;
                    failed = got < 0;
                    changed.notify_all();
                    return;
                }
                received.append(buffer, static_cast<size_t>(got));
                if (plan.resetAfterBytes > 0 && received.size() >= plan.resetAfterBytes) {
                    const linger abortive{1, 0};
                    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
                    close(fd);
                    fd = -1;
                    ended = true;
                    failed = true;
                    changed.notify_all();
                    return;
                }
                changed.notify_all();
            }
        }
    }

    ClientPlan plan;
    int fd = -1;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable changed;
    std::string received;
    bool ended = false;
    bool failed = false;
    std::thread worker;
};

using Entries = std::vector<std::pair<std::string, std::string>>;

std::string header()
{
    return expectedHeader;
}


std::set<std::string> directoryEntries(const std::string& path)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.insert(entry.path().filename().string());
    return names;
}

class RequestCycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The default action: a write to a vanished client must not end the process by a signal.
        std::signal(SIGPIPE, SIG_DFL);
        previousDir = std::filesystem::current_path().string();
        std::filesystem::current_path(scratch.path());
        resetServerState();
        fakecam::reset();
        serverPort = freePort();
    }

    void TearDown() override
    {
        resetServerState();
        unsetenv("SDL_AUDIODRIVER");
        unsetenv("SDL_DISKAUDIOFILE");
        std::filesystem::current_path(previousDir);
    }

    // Starts the server from "lumetra.conf" in the scratch directory, on a free port.
    // An entry with an empty value is left out: the file cannot hold one, so the key is absent.
    void startServer(const Entries& entries = {}, const fakecam::Script& script = fakecam::Script())
    {
        Entries all{{"port", std::to_string(serverPort)}};
        for (const auto& entry : entries)
            if (!entry.second.empty())
                all.push_back(entry);
        writeFile("lumetra.conf", configText(all));
        std::string program = "lumetra_test";
        char* argv[] = {program.data(), nullptr};
        ASSERT_EQ(prologue(1, argv), 0);
        ASSERT_TRUE(server);
        fakecam::reset(script);
    }

    // One labourer() call once the client is waiting; it must end normally.
    void serveOne(Milliseconds limit = Milliseconds(60000))
    {
        ASSERT_TRUE(awaitClient(10000)) << "no client arrived";
        Watchdog watchdog(limit, "a served request");
        try {
            labourer();
        } catch (const ErrorText& error) {
            FAIL() << "labourer threw: " << error;
        }
    }

    // One labourer() call once the client is waiting; returns the error text it throws.
    ErrorText serveExpectingError()
    {
        EXPECT_TRUE(awaitClient(10000)) << "no client arrived";
        Watchdog watchdog(Milliseconds(60000), "a failing request");
        try {
            labourer();
        } catch (const ErrorText& error) {
            return error;
        } catch (...) {
            ADD_FAILURE() << "labourer threw something other than an error text";
            return "(other exception)";
        }
        ADD_FAILURE() << "labourer did not throw";
        return "(nothing thrown)";
    }

    std::string pictureOnDisk() const { return readFile(scratch.file("last.jpeg")); }

    ScratchDir scratch;
    std::string previousDir;
    int serverPort = 0;
};

const std::vector<std::string> servedCalls{"open", "grab", "retrieve", "release", "destroy"};

// ---- No client, one ordinary client ----

TEST_F(RequestCycle, WithoutAWaitingClientReturnsAtOnceAndTouchesNothing)
{
    startServer({{"createLog", "1"}, {"log", "access.log"}});
    testing::internal::CaptureStdout();
    labourer();
    labourer();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(conn);
    EXPECT_FALSE(inStream);
    EXPECT_TRUE(fakecam::calls().empty());
    EXPECT_FALSE(fileExists("last.jpeg"));
    const auto lines = readLines("access.log");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" - program started"), std::string::npos);
}

TEST_F(RequestCycle, ServesHeaderThenTheSavedPictureAndReleasesEverything)
{
    fakecam::Script script;
    script.frameSize = cv::Size(96, 72);
    startServer({{"device", "3"}, {"deviceSource", "camera source text"}, {"createLog", "1"}, {"log", "access.log"}},
                script);

    Client client(serverPort, ClientPlan{});
    testing::internal::CaptureStdout();
    serveOne();
    const std::string printed = testing::internal::GetCapturedStdout();
    const std::string reply = client.reply();

    EXPECT_EQ(printed, "Connection from 127.0.0.1\n");
    const auto lines = readLines("access.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"([A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} GMT - 127\.0\.0\.1)")))
        << lines[1];

    EXPECT_EQ(reply, header() + pictureOnDisk());
    const cv::Mat picture = decodeJpeg(reply.substr(header().size()));
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(picture.size(), cv::Size(96, 72));

    EXPECT_EQ(fakecam::openedDevice(), 3);
    EXPECT_EQ(fakecam::openedSource(), "camera source text");
    EXPECT_EQ(fakecam::callNames(), servedCalls);
    EXPECT_EQ(s, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_FALSE(conn);
    EXPECT_FALSE(inStream);
    EXPECT_EQ(fakecam::liveCaptures(), 0);
    // The picture was renamed into place: no partial file stays behind.
    EXPECT_EQ(directoryEntries(scratch.path()), (std::set<std::string>{"access.log", "last.jpeg", "lumetra.conf"}));
}

struct DeviceCase {
    const char* name;
    std::string value;
    int index;
};

void PrintTo(const DeviceCase& device, std::ostream* out)
{
    *out << "device=" << device.value;
}

class DeviceIndex : public RequestCycle, public ::testing::WithParamInterface<DeviceCase> {};

TEST_P(DeviceIndex, IsReadLikeAtoi)
{
    startServer({{"device", GetParam().value}});
    Client client(serverPort, ClientPlan{});
    serveOne();
    client.reply();
    EXPECT_EQ(fakecam::openedDevice(), GetParam().index);
    EXPECT_EQ(fakecam::openedSource(), "");
}

INSTANTIATE_TEST_SUITE_P(Values, DeviceIndex,
                         ::testing::Values(DeviceCase{"Absent", "", 0}, DeviceCase{"Plain", "2", 2},
                                           DeviceCase{"BlanksAndTrailingText", "  7x", 7},
                                           DeviceCase{"NotNumeric", "cam", 0}, DeviceCase{"Negative", "-1", -1}),
                         [](const ::testing::TestParamInfo<DeviceCase>& info) { return std::string(info.param.name); });

// ---- Camera failures ----

struct FailureCase {
    const char* name;
    fakecam::Fault fault;
    std::string message;  // the whole text, or its beginning when prefixOnly
    bool prefixOnly;
    std::vector<std::string> callsBeforeRelease;
};

void PrintTo(const FailureCase& named, std::ostream* out)
{
    *out << named.name;
}

class CameraFailure : public RequestCycle, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CameraFailure, LeavesConnectionAndCameraToReleaseResources)
{
    const FailureCase& failure = GetParam();
    fakecam::Script script;
    script.fault = failure.fault;
    startServer({}, script);

    Client client(serverPort, ClientPlan{});
    const ErrorText error = serveExpectingError();
    if (failure.prefixOnly)
        EXPECT_EQ(error.rfind(failure.message, 0), 0u) << error;
    else
        EXPECT_EQ(error, failure.message);
    EXPECT_EQ(fakecam::callNames(), failure.callsBeforeRelease);

    // The header went out before the camera was opened; the connection stays open meanwhile.
    ASSERT_TRUE(client.waitForBytes(header().size()));
    EXPECT_EQ(client.receivedSoFar(), header());
    EXPECT_FALSE(client.closedByServer());
    EXPECT_TRUE(conn);
    const bool cameraOpened = failure.fault != fakecam::Fault::openThrowsCv;
    EXPECT_EQ(static_cast<bool>(inStream), cameraOpened);

    releaseResources();
    EXPECT_EQ(client.reply(), header());
    EXPECT_TRUE(client.closedByServer());
    EXPECT_FALSE(conn);
    EXPECT_FALSE(inStream);
    EXPECT_EQ(fakecam::liveCaptures(), 0);
    if (cameraOpened) {
        auto expected = failure.callsBeforeRelease;
        expected.insert(expected.end(), {"release", "destroy"});
        EXPECT_EQ(fakecam::callNames(), expected);
    }
    EXPECT_FALSE(fileExists("last.jpeg"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CameraFailure,
    ::testing::Values(
        FailureCase{"GrabFails", fakecam::Fault::grabFails, "!cvGrabFrame(inStream)", false, {"open", "grab"}},
        FailureCase{"RetrieveFails", fakecam::Fault::retrieveFails, "!cvRetrieveFrame()", false,
                    {"open", "grab", "retrieve"}},
        FailureCase{"RetrieveEmpty", fakecam::Fault::retrieveEmpty, "!cvRetrieveFrame()", false,
                    {"open", "grab", "retrieve"}},
        FailureCase{"OpenThrowsOpenCv", fakecam::Fault::openThrowsCv, "OpenCV: ", true, {"open"}},
        FailureCase{"GrabThrowsOpenCv", fakecam::Fault::grabThrowsCv, "OpenCV: ", true, {"open", "grab"}},
        FailureCase{"GrabThrowsStd", fakecam::Fault::grabThrowsStd, "std::exception: fake grab failure", false,
                    {"open", "grab"}},
        FailureCase{"RetrieveThrowsOpenCv", fakecam::Fault::retrieveThrowsCv, "OpenCV: ", true,
                    {"open", "grab", "retrieve"}},
        FailureCase{"RetrieveThrowsStd", fakecam::Fault::retrieveThrowsStd, "std::exception: fake retrieve failure",
                    false, {"open", "grab", "retrieve"}}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// ---- Scaling ----

struct ScalingCase {
    const char* name;
    std::string resizeValue;
    cv::Size frame;
    cv::Size configured;
    cv::Size expected;
};

void PrintTo(const ScalingCase& named, std::ostream* out)
{
    *out << named.name;
}

class Scaling : public RequestCycle, public ::testing::WithParamInterface<ScalingCase> {};

TEST_P(Scaling, PictureHasTheScaledOrTheFrameSize)
{
    const ScalingCase& scaling = GetParam();
    fakecam::Script script;
    script.frameSize = scaling.frame;
    startServer({{"resize", scaling.resizeValue},
                 {"resizeWidth", std::to_string(scaling.configured.width)},
                 {"resizeHeight", std::to_string(scaling.configured.height)}},
                script);
    Client client(serverPort, ClientPlan{});
    serveOne();
    const Reply reply = splitReply(client.reply());
    EXPECT_EQ(reply.header, header());
    const cv::Mat picture = decodeJpeg(reply.body);
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(picture.size(), scaling.expected);
    EXPECT_EQ(reply.body, pictureOnDisk());
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Scaling,
    ::testing::Values(ScalingCase{"UpscaledWhenOn", "1", {64, 48}, {320, 200}, {320, 200}},
                      ScalingCase{"DownscaledWhenOn", "1", {640, 480}, {100, 30}, {100, 30}},
                      ScalingCase{"FrameSizeWhenOff", "0", {64, 48}, {320, 200}, {64, 48}},
                      ScalingCase{"FrameSizeWhenNotExactlyOne", "yes", {80, 60}, {320, 200}, {80, 60}}),
    [](const ::testing::TestParamInfo<ScalingCase>& info) { return std::string(info.param.name); });

// ---- Large pictures and the ways clients send their request ----

struct ClientCase {
    const char* name;
    ClientPlan plan;
    std::string expectedRequest;  // what the server keeps in s
};

void PrintTo(const ClientCase& named, std::ostream* out)
{
    *out << named.name;
}

class ClientShapes : public RequestCycle, public ::testing::WithParamInterface<ClientCase> {};

TEST_P(ClientShapes, AllGetTheWholeLargePicture)
{
    fakecam::Script script;
    script.frameSize = cv::Size(640, 480);
    script.noisy = true;
    startServer({}, script);
    Client client(serverPort, GetParam().plan);
    serveOne();
    const std::string reply = client.reply();
    const std::string picture = pictureOnDisk();
    ASSERT_GT(picture.size(), 65535u * 2) << "the picture must need several blocks";
    EXPECT_EQ(reply.size(), header().size() + picture.size());
    EXPECT_TRUE(reply == header() + picture) << "the reply differs from the header and the saved picture";
    EXPECT_TRUE(client.closedByServer());
    EXPECT_EQ(s, GetParam().expectedRequest);
    EXPECT_EQ(fakecam::callNames(), servedCalls);
}

ClientPlan inPieces()
{
    ClientPlan plan;
    plan.parts = {"GET /snap", "shot HTTP/1.0\r\n", "\r\n"};
    plan.pauseBetweenParts = Milliseconds(300);
    return plan;
}

ClientPlan silentForThreeSeconds()
{
    ClientPlan plan;
    plan.silenceFirst = Milliseconds(3000);
    plan.parts = {"late request"};
    return plan;
}

ClientPlan halfClosedAtOnce()
{
    ClientPlan plan;
    plan.parts = {};
    plan.halfClose = true;
    return plan;
}

ClientPlan requestWithZeroByte()
{
    ClientPlan plan;
    plan.parts = {std::string("GET /\0hidden", 12)};
    return plan;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ClientShapes,
    ::testing::Values(ClientCase{"OnePacket", ClientPlan{}, "GET / HTTP/1.0\r\n\r\n"},
                      // Only the first receive counts; the rest is never read as a request.
                      ClientCase{"SeveralPacketsWithPauses", inPieces(), "GET /snap"},
                      ClientCase{"SilentClientServedAsEmpty", silentForThreeSeconds(), ""},
                      ClientCase{"HalfClosedAtOnce", halfClosedAtOnce(), ""},
                      ClientCase{"RequestKeptUpToZeroByte", requestWithZeroByte(), "GET /"}),
    [](const ::testing::TestParamInfo<ClientCase>& info) { return std::string(info.param.name); });

TEST_F(RequestCycle, LongRequestDoesNotCutTheReplyShort)
{
    // Request bytes left unread at the close would reset the connection and drop the reply's tail.
    fakecam::Script script;
    script.frameSize = cv::Size(1280, 960);
    script.noisy = true;
    startServer({}, script);
    ClientPlan plan;
    plan.parts = {"GET / HTTP/1.0\r\nX-Filler: " + std::string(200 * 1024, 'x') + "\r\n\r\n"};
    Client client(serverPort, plan);
    serveOne();
    const std::string reply = client.reply();
    const std::string picture = pictureOnDisk();
    EXPECT_LE(s.size(), 65534u);
    EXPECT_EQ(reply.size(), header().size() + picture.size());
    EXPECT_TRUE(reply == header() + picture);
    EXPECT_TRUE(client.closedByServer());
}

// ---- A client that goes away mid-picture ----

class VanishingClient : public RequestCycle, public ::testing::WithParamInterface<bool> {};

TEST_P(VanishingClient, EndsTheRequestWithASendErrorNotASignal)
{
    fakecam::Script script;
    script.frameSize = cv::Size(2000, 1500);
    script.noisy = true;
    startServer({}, script);
    ClientPlan plan;
    // A half-closed client that then resets makes the next send raise SIGPIPE unless the server guards it.
    plan.halfClose = GetParam();
    plan.receiveBuffer = 4096;
    plan.resetAfterBytes = header().size() + 20000;
    Client client(serverPort, plan);
    const ErrorText error = serveExpectingError();
    EXPECT_EQ(error, "TCPConnection: send() == SOCKET_ERROR");
    EXPECT_TRUE(conn);
    EXPECT_TRUE(inStream);
    EXPECT_EQ(fakecam::callNames(), (std::vector<std::string>{"open", "grab", "retrieve"}));
    releaseResources();
    EXPECT_FALSE(conn);
    EXPECT_FALSE(inStream);
    EXPECT_EQ(fakecam::liveCaptures(), 0);
}

INSTANTIATE_TEST_SUITE_P(Resets, VanishingClient, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "AfterHalfClose" : "WhileSending");
                         });

// ---- Waits ----

struct WaitCase {
    const char* name;
    std::string pre, post;
    Milliseconds atLeastBeforeGrab, atLeastBeforeRetrieve;
};

void PrintTo(const WaitCase& named, std::ostream* out)
{
    *out << named.name;
}

class Waits : public RequestCycle, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(Waits, AreKeptAndNeverNegative)
{
    const WaitCase& wait = GetParam();
    startServer({{"devicePreTimeout", wait.pre}, {"devicePostTimeout", wait.post}});
    Client client(serverPort, ClientPlan{});
    // Generous: a negative wait taken as unsigned would last for weeks.
    serveOne(Milliseconds(5000));
    EXPECT_EQ(splitReply(client.reply()).header, header());
    const auto calls = fakecam::calls();
    ASSERT_EQ(fakecam::callNames(), servedCalls);
    EXPECT_GE(calls[1].at - calls[0].at, wait.atLeastBeforeGrab);
    EXPECT_GE(calls[2].at - calls[1].at, wait.atLeastBeforeRetrieve);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Waits,
    ::testing::Values(WaitCase{"Positive", "300", "200", Milliseconds(300), Milliseconds(200)},
                      WaitCase{"Negative", "-5", "-1", Milliseconds(0), Milliseconds(0)},
                      WaitCase{"MostNegative", "-2147483648", "-2147483648", Milliseconds(0), Milliseconds(0)},
                      WaitCase{"NotNumeric", "soon", "", Milliseconds(0), Milliseconds(0)}),
    [](const ::testing::TestParamInfo<WaitCase>& info) { return std::string(info.param.name); });

// ---- The sound ----

TEST_F(RequestCycle, SoundPlaysToItsEndBeforeTheGrab)
{
    const int sampleRate = 8000;
    const int soundMs = 300;
    const size_t sampleBytes = writeToneWav(scratch.file("click.wav"), sampleRate, soundMs);
    const std::string diskFile = scratch.file("played.raw");
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", diskFile.c_str(), 1);

    uintmax_t playedAtGrab = 0;
    fakecam::Script script;
    script.onGrab = [&] {
        std::error_code missing;
        const uintmax_t size = std::filesystem::file_size(diskFile, missing);
        playedAtGrab = missing ? 0 : size;
    };
    startServer({{"sound", "click.wav"}}, script);
    Client client(serverPort, ClientPlan{});
    serveOne();
    EXPECT_EQ(splitReply(client.reply()).header, header());
    EXPECT_GE(playedAtGrab, sampleBytes) << "the grab came before the sound had played";
    EXPECT_EQ(std::filesystem::file_size(diskFile), playedAtGrab) << "the sound went on after the grab";
    EXPECT_EQ(fakecam::callNames(), servedCalls);
}

class NoSound : public RequestCycle, public ::testing::WithParamInterface<std::string> {};

TEST_P(NoSound, IsNoError)
{
    const std::string diskFile = scratch.file("played.raw");
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", diskFile.c_str(), 1);
    startServer({{"sound", GetParam()}});
    Client client(serverPort, ClientPlan{});
    serveOne();
    const Reply reply = splitReply(client.reply());
    EXPECT_EQ(reply.header, header());
    EXPECT_EQ(reply.body, pictureOnDisk());
    EXPECT_FALSE(fileExists(diskFile));
    EXPECT_EQ(fakecam::callNames(), servedCalls);
}

INSTANTIATE_TEST_SUITE_P(Values, NoSound, ::testing::Values("missing.wav", "no/such/dir/x.wav", ""),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             if (info.param.empty())
                                 return std::string("KeyAbsent");
                             return std::string(info.param == "missing.wav" ? "MissingFile" : "MissingDirectory");
                         });

// ---- The picture file ----

TEST_F(RequestCycle, UnencodableFrameLeavesTheOlderPictureAndSendsIt)
{
    fakecam::Script script;
    script.frameSize = cv::Size(48, 32);
    startServer({}, script);
    {
        Client first(serverPort, ClientPlan{});
        serveOne();
        first.reply();
    }
    const std::string older = pictureOnDisk();
    ASSERT_FALSE(older.empty());

    // Wider than a JPEG can be: the encoder refuses it without throwing.
    script.frameSize = cv::Size(70000, 1);
    fakecam::reset(script);
    Client second(serverPort, ClientPlan{});
    serveOne();
    EXPECT_EQ(second.reply(), header() + older);
    EXPECT_EQ(pictureOnDisk(), older);
    EXPECT_EQ(fakecam::callNames(), servedCalls);
    EXPECT_EQ(directoryEntries(scratch.path()), (std::set<std::string>{"last.jpeg", "lumetra.conf"}));
}

TEST_F(RequestCycle, WithoutAnyPictureFileOnlyTheHeaderIsSent)
{
    fakecam::Script script;
    script.frameSize = cv::Size(70000, 1);
    startServer({}, script);
    Client client(serverPort, ClientPlan{});
    serveOne();
    EXPECT_EQ(client.reply(), header());
    EXPECT_TRUE(client.closedByServer());
    EXPECT_FALSE(conn);
    EXPECT_FALSE(inStream);
    EXPECT_EQ(fakecam::callNames(), servedCalls);
    EXPECT_FALSE(fileExists("last.jpeg"));
}

TEST_F(RequestCycle, ReadersNeverSeeAPartlyWrittenPicture)
{
    fakecam::Script script;
    script.frameSize = cv::Size(1600, 1200);
    script.noisy = true;
    startServer({}, script);

    std::atomic<bool> reading{true};
    std::atomic<int> reads{0};
    std::atomic<int> partial{0};
    std::thread reader([&] {
        const std::string path = scratch.file("last.jpeg");
        while (reading) {
            const std::string bytes = readFile(path);
            if (bytes.empty())
                continue;  // not there yet
            ++reads;
            const bool whole = bytes.size() > 4 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                               static_cast<unsigned char>(bytes[1]) == 0xD8 &&
                               static_cast<unsigned char>(bytes[bytes.size() - 2]) == 0xFF &&
                               static_cast<unsigned char>(bytes[bytes.size() - 1]) == 0xD9;
            if (!whole)
                ++partial;
        }
    });
    for (int request = 0; request < 3; ++request) {
        Client client(serverPort, ClientPlan{});
        serveOne();
        client.reply();
    }
    reading = false;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(partial.load(), 0) << "of " << reads.load() << " reads";
}

}  // namespace
