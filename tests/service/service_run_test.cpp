// lumetra_service as the service manager runs it: reports, serving, restarts and stop requests.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "service_harness.h"

using namespace testing_support;
using namespace service_testing;

namespace {

// Generous: the service is meant to end within a second of the request.
const Milliseconds stopBound(3000);
// A client connecting during the wait is taken at the next pass, up to 5 s later.
const Milliseconds servedBound(30000);

const std::vector<std::string> fullSequence{startPending, running, stopPending, stopPending, stopped};

void expectServedPicture(const std::string& reply)
{
    const Reply parts = splitReply(reply);
    EXPECT_EQ(parts.header, expectedHeader);
    const cv::Mat picture = decodeJpeg(parts.body);
    ASSERT_FALSE(picture.empty()) << parts.body.size() << " bytes after the header of " << reply.size();
    EXPECT_EQ(picture.cols, 64);
    EXPECT_EQ(picture.rows, 48);
}

void expectStops(RunningService& service, int signalNumber)
{
    Milliseconds taken{0};
    EXPECT_EQ(service.stop(signalNumber, taken), 0);
    EXPECT_LE(taken, stopBound);
    std::cout << "stopped " << taken.count() << " ms after the signal\n";
    testing::Test::RecordProperty("stop_ms", static_cast<int>(taken.count()));
    EXPECT_EQ(service.manager().notifications(), fullSequence);
}

}  // namespace

TEST(ServiceRun, ReportsItsStatesAndStopsDuringTheWait)
{
    ServiceFixture fixture;
    const int port = freePort();
    fixture.writeConfig(port);
    fixture.install();
    RunningService service(fixture);
    ASSERT_TRUE(service.waitUntilRunning());
    ASSERT_TRUE(waitForListeningSocket(service.process().pid(), port, servedBound));
    EXPECT_EQ(service.manager().notifications(), (std::vector<std::string>{startPending, running}));
    // Well inside the 5000 ms wait that follows the first pass.
    std::this_thread::sleep_for(Milliseconds(1000));
    expectStops(service, SIGTERM);
    EXPECT_EQ(logMessages(fixture.appFile("access.log")), std::vector<std::string>{"program started"});
}

TEST(ServiceRun, ServesAClientAfterItsPollInTheInstallationDirectory)
{
    ServiceFixture fixture;
    const int port = freePort();
    fixture.writeConfig(port);
    fixture.install();
    RunningService service(fixture);
    ASSERT_TRUE(service.waitUntilRunning());
    ASSERT_TRUE(waitForListeningSocket(service.process().pid(), port, servedBound));

    expectServedPicture(fetch(port, "GET / HTTP/1.0\r\n\r\n", false, servedBound));
    // Relative names resolve in the recorded directory, not where the process was started.
    EXPECT_TRUE(fileExists(fixture.appFile("last.jpeg")));
    EXPECT_TRUE(service.process().waitForOutput("Connection from 127.0.0.1\n", Milliseconds(5000)));
    EXPECT_EQ(service.process().out(), "usage: " + serviceBinary() + " [install|uninstall]Connection from 127.0.0.1\n");
    expectStops(service, SIGINT);
    EXPECT_EQ(logMessages(fixture.appFile("access.log")), (std::vector<std::string>{"program started", "127.0.0.1"}));
}

TEST(ServiceRun, RestartsAfterAClientLeavesMidPictureAndServesTheNext)
{
    ServiceFixture fixture;
    const int port = freePort();
    // The pause before the grab lets the client's reset arrive before the picture is sent.
    fixture.writeConfig(port, {{"devicePreTimeout", "300"}});
    fixture.install();
    RunningService service(fixture);
    ASSERT_TRUE(service.waitUntilRunning());
    const std::string log = fixture.appFile("access.log");
    ASSERT_TRUE(waitForListeningSocket(service.process().pid(), port, servedBound));

    abandonAfterHeader(port, servedBound);
    ASSERT_TRUE(waitForMessageCount(log, "program started", 2, servedBound));
    ASSERT_TRUE(waitForListeningSocket(service.process().pid(), port, servedBound));
    expectServedPicture(fetch(port, "GET / HTTP/1.0\r\n\r\n", false, servedBound));
    expectStops(service, SIGTERM);
    EXPECT_EQ(logMessages(log), (std::vector<std::string>{"program started", "127.0.0.1",
                                                          "TCPConnection: send() == SOCKET_ERROR", "program started",
                                                          "127.0.0.1"}));
}

TEST(ServiceRun, OneStartParameterNamesTheConfigurationInTheInstallationDirectory)
{
    ServiceFixture fixture;
    const int port = freePort();
    fixture.writeConfig(freePort());
    fixture.install();
    writeFile(fixture.appFile("other.conf"),
              configText({{"port", std::to_string(port)}, {"deviceSource", testPatternPipeline(64, 48)}}));
    RunningService service(fixture, {"other.conf"});
    ASSERT_TRUE(service.waitUntilRunning());
    ASSERT_TRUE(waitForListeningSocket(service.process().pid(), port, servedBound));
    expectServedPicture(fetch(port, "GET / HTTP/1.0\r\n\r\n", false, servedBound));
    expectStops(service, SIGTERM);
    EXPECT_FALSE(fileExists(fixture.appFile("access.log")));
}

// Start-ups that fail every time: each is retried after a growing pause, and a stop ends the
// service whichever step it arrives in.
TEST(ServiceRun, StopsDuringAFailingStartLoop)
{
    struct Case {
        const char* name;
        void (*breakStartUp)(const ServiceFixture&);
        std::vector<std::string> startParameters;
        const char* logged;  // what each attempt leaves in the log, if it gets that far
    };
    const Case cases[] = {
        {"configuration rejected",
         [](const ServiceFixture& fixture) { writeFile(fixture.appFile("lumetra.conf"), "port=1\ncreateLog=1\n"); },
         {}, nullptr},
        {"directory record missing",
         [](const ServiceFixture& fixture) { ASSERT_EQ(fixture.run({"uninstall"}).status, 0); }, {}, nullptr},
        {"two start parameters", [](const ServiceFixture&) {}, {"one.conf", "two.conf"}, nullptr},
    };
    for (const Case& one : cases) {
        SCOPED_TRACE(one.name);
        ServiceFixture fixture;
        const int port = freePort();
        fixture.writeConfig(port);
        fixture.install();
        one.breakStartUp(fixture);
        RunningService service(fixture, one.startParameters);
        ASSERT_TRUE(service.waitUntilRunning());
        std::this_thread::sleep_for(Milliseconds(2500));
        expectStops(service, SIGTERM);
        EXPECT_FALSE(fileExists(fixture.appFile("access.log")));
        EXPECT_FALSE(fileExists(fixture.appFile("last.jpeg")));
    }
}

TEST(ServiceRun, TwoStartParametersNeverOpenAListenerAndAreRetriedSlowly)
{
    ServiceFixture fixture;
    const int port = freePort();
    fixture.writeConfig(port);
    fixture.install();
    RunningService service(fixture, {"lumetra.conf", "lumetra.conf"});
    ASSERT_TRUE(service.waitUntilRunning());
    std::this_thread::sleep_for(Milliseconds(4000));
    EXPECT_FALSE(waitForListeningSocket(service.process().pid(), port, Milliseconds(1000)));
    // The core's usage line once per attempt: 0, 0.1, 0.3, 0.7, 1.5, 3.1 s ... not thousands.
    const std::string usage = "usage: Lumetra Service [config]\n";
    const std::string errors = service.process().err();
    size_t attempts = 0;
    for (size_t at = errors.find(usage); at != std::string::npos; at = errors.find(usage, at + 1))
        ++attempts;
    EXPECT_GE(attempts, 3u);
    EXPECT_LE(attempts, 12u);
    EXPECT_EQ(errors.size(), attempts * usage.size()) << errors;
    expectStops(service, SIGTERM);
}

TEST(ServiceRun, PortTakenRetriesSlowlyStaysStoppableAndRecovers)
{
    ServiceFixture fixture;
    const int port = freePort();
    fixture.writeConfig(port);
    fixture.install();
    PortBlocker blocker(port);
    RunningService service(fixture);
    ASSERT_TRUE(service.waitUntilRunning());
    const std::string log = fixture.appFile("access.log");
    ASSERT_TRUE(waitForMessageCount(log, "TCPConnection: bind == SOCKET_ERROR", 1, servedBound));

    const Milliseconds window(10000);
    const size_t linesBefore = logMessages(log).size();
    const Milliseconds cpuBefore = cpuTime(service.process().pid());
    std::this_thread::sleep_for(window);
    const size_t lines = logMessages(log).size() - linesBefore;
    const Milliseconds cpu = cpuTime(service.process().pid()) - cpuBefore;
    std::cout << "port taken for " << window.count() << " ms: " << lines << " log lines, " << cpu.count()
              << " ms of processor time\n";
    RecordProperty("port_taken_log_lines", static_cast<int>(lines));
    RecordProperty("port_taken_cpu_ms", static_cast<int>(cpu.count()));
    // Two lines per attempt, an attempt every 5 s once the pause has grown: a handful, not thousands.
    EXPECT_GE(lines, 2u);
    EXPECT_LE(lines, 30u);
    EXPECT_LE(cpu, window / 10);
    for (const std::string& message : logMessages(log))
        EXPECT_TRUE(message == "program started" || message == "TCPConnection: bind == SOCKET_ERROR") << message;
    EXPECT_EQ(service.manager().notifications(), (std::vector<std::string>{startPending, running}));

    // Free again: the next attempt, at most one longest pause later, listens and serves.
    blocker.release();
    ASSERT_TRUE(waitForListeningSocket(service.process().pid(), port, servedBound));
    expectServedPicture(fetch(port, "GET / HTTP/1.0\r\n\r\n", false, servedBound));
    expectStops(service, SIGTERM);
}

TEST(ServiceRun, UninstallWhileRunningKeepsItServingUntilItsNextError)
{
    ServiceFixture fixture;
    const int port = freePort();
    fixture.writeConfig(port, {{"devicePreTimeout", "300"}});
    fixture.install();
    RunningService service(fixture);
    ASSERT_TRUE(service.waitUntilRunning());
    const std::string log = fixture.appFile("access.log");
    ASSERT_TRUE(waitForListeningSocket(service.process().pid(), port, servedBound));

    const Finished removed = fixture.run({"uninstall"});
    EXPECT_EQ(removed.status, 0);
    EXPECT_EQ(removed.out, "trying to uninstall service...\n");
    EXPECT_TRUE(fileExists(fixture.unitPath()));
    EXPECT_TRUE(std::filesystem::is_symlink(fixture.wantsLinkPath()));
    EXPECT_FALSE(fileExists(fixture.recordPath()));

    expectServedPicture(fetch(port, "GET / HTTP/1.0\r\n\r\n", false, servedBound));
    abandonAfterHeader(port, servedBound);
    ASSERT_TRUE(waitForMessageCount(log, "RegOpenKey() error", 3, servedBound));
    EXPECT_EQ(countMessages(log, "program started"), 1u);
    expectStops(service, SIGTERM);
    const std::vector<std::string> messages = logMessages(log);
    ASSERT_GE(messages.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + 4),
              (std::vector<std::string>{"program started", "127.0.0.1", "127.0.0.1",
                                        "TCPConnection: send() == SOCKET_ERROR"}));
    for (size_t i = 4; i < messages.size(); ++i)
        EXPECT_EQ(messages[i], "RegOpenKey() error");

    // Stopped, it is removed like any stopped service.
    EXPECT_EQ(fixture.run({"uninstall"}).status, 0);
    EXPECT_FALSE(fileExists(fixture.unitPath()));
}

TEST(ServiceRun, AServiceWhoseProcessIsGoneCountsAsStopped)
{
    ServiceFixture fixture;
    fixture.writeConfig(freePort());
    fixture.install();
    RunningService service(fixture);
    ASSERT_TRUE(service.waitUntilRunning());
    service.process().signal(SIGKILL);
    ASSERT_EQ(service.process().waitExit(Milliseconds(10000)), 128 + SIGKILL);

    const Finished removed = fixture.run({"uninstall"});
    EXPECT_EQ(removed.status, 0);
    EXPECT_FALSE(fileExists(fixture.unitPath()));
    EXPECT_FALSE(std::filesystem::is_symlink(fixture.wantsLinkPath()));
    EXPECT_FALSE(fileExists(fixture.recordPath()));
}

TEST(ServiceRun, ARestartFollowsTheDirectoryRecordToItsNewPlace)
{
    ServiceFixture fixture;
    const int firstPort = freePort();
    fixture.writeConfig(firstPort, {{"devicePreTimeout", "300"}});
    fixture.install();
    RunningService service(fixture);
    ASSERT_TRUE(service.waitUntilRunning());
    ASSERT_TRUE(waitForListeningSocket(service.process().pid(), firstPort, servedBound));

    // Installed again from elsewhere while it runs: the record changes, the running core does not.
    ScratchDir moved;
    const int secondPort = freePort();
    writeFile(moved.file("lumetra.conf"),
              configText({{"port", std::to_string(secondPort)}, {"deviceSource", testPatternPipeline(64, 48)}}));
    ASSERT_EQ(runToEnd(serviceBinary(), {"install"}, moved.path(), Milliseconds(30000), fixture.environment()).status,
              0);

    abandonAfterHeader(firstPort, servedBound);
    ASSERT_TRUE(waitForListeningSocket(service.process().pid(), secondPort, servedBound));
    expectServedPicture(fetch(secondPort, "GET / HTTP/1.0\r\n\r\n", false, servedBound));
    EXPECT_TRUE(fileExists(moved.file("last.jpeg")));
    expectStops(service, SIGTERM);
}
