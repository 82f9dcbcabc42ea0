// Start-up and release against the real core: real configuration files, logs and listening sockets.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../server/lumetra.h"
#include "server_state.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const std::string bindError = "TCPConnection: bind == SOCKET_ERROR";
const std::string resizeError = "prologue: resizeWidth and resizeHeight must lie in 1..16384";


// Runs prologue with these arguments; the first one is the program name.
int startUp(const std::vector<std::string>& arguments)
{
    std::vector<std::string> storage = arguments;
    std::vector<char*> argv;
    for (std::string& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return prologue(static_cast<int>(storage.size()), argv.data());
}

// The thrown text, or empty text when start-up completed.
std::string startUpError(const std::vector<std::string>& arguments)
{
    try {
        EXPECT_EQ(startUp(arguments), 0);
    } catch (const ErrorText& error) {
        return error.empty() ? "(empty error text)" : error;
    }
    return "";
}

// Ports of the sockets this process listens on.
std::set<int> listeningPorts()
{
    std::set<int> ports;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return ports;
    while (const dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        struct stat info {};
        if (entry->d_name[0] == '.' || fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode))
            continue;
        int accepting = 0;
        socklen_t length = sizeof accepting;
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) != 0 || !accepting)
            continue;
        sockaddr_in address{};
        length = sizeof address;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.sin_family == AF_INET)
            ports.insert(ntohs(address.sin_port));
    }
    closedir(dir);
    return ports;
}

// A listener of the test's own that keeps a port taken.
class PortBlocker {
public:
    explicit PortBlocker(int port) : fd(socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        taken = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd, 1) == 0;
    }
    ~PortBlocker() { close(fd); }
    bool holds() const { return taken; }

private:
    int fd;
    bool taken = false;
};

// The messages of a log's lines, their 29-character stamps cut off.
std::vector<std::string> logMessages(const std::string& path)
{
    std::vector<std::string> messages;
    for (const std::string& line : readLines(path)) {
        const bool stamped = line.size() >= 32 && line.compare(25, 7, " GMT - ") == 0;
        messages.push_back(stamped ? line.substr(32) : "(malformed) " + line);
    }
    return messages;
}

long residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool underAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool underAddressSanitizer = true;
#else
constexpr bool underAddressSanitizer = false;
#endif
#else
constexpr bool underAddressSanitizer = false;
#endif

class StartUpTest : public ::testing::Test {
protected:
    ScratchDir scratch;
    std::string originalDir;

    void SetUp() override
    {
        char buffer[4096];
        ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
        originalDir = buffer;
        resetServerState();
    }
    void TearDown() override
    {
        EXPECT_EQ(chdir(originalDir.c_str()), 0);
        resetServerState();
    }

    std::string writeConfig(const std::string& name, const std::vector<std::pair<std::string, std::string>>& entries)
    {
        const std::string path = scratch.file(name);
        writeFile(path, configText(entries));
        return path;
    }
};

TEST_F(StartUpTest, WithoutArgumentReadsDefaultFileOfWorkingDirectory)
{
    const int freeNow = freePort();
    writeConfig("lumetra.conf", {{"port", std::to_string(freeNow)}, {"createLog", "1"}, {"log", "start.log"}});
    ASSERT_EQ(chdir(scratch.path().c_str()), 0);

    ASSERT_EQ(startUpError({"lumetra_console"}), "");
    EXPECT_EQ(port, freeNow);
    EXPECT_EQ(listeningPorts(), std::set<int>{freeNow});
    EXPECT_TRUE(waitForListener(freeNow, Milliseconds(5000)));
    EXPECT_EQ(logMessages(scratch.file("start.log")), std::vector<std::string>{"program started"});
    EXPECT_EQ(ss1.str(), expectedHeader);
}

TEST_F(StartUpTest, MissingDefaultFileListensOnAnyFreePort)
{
    ASSERT_EQ(chdir(scratch.path().c_str()), 0);
    ::testing::internal::CaptureStderr();
    const std::string error = startUpError({"lumetra_console"});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(error, "");
    EXPECT_EQ(port, 0);
    EXPECT_FALSE(createLog);
    EXPECT_FALSE(resize);
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->get("port"), "");
    const std::set<int> ports = listeningPorts();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_NE(*ports.begin(), 0);
    EXPECT_TRUE(waitForListener(*ports.begin(), Milliseconds(5000)));
}

TEST_F(StartUpTest, LoggingWithoutPathLosesLinesSilently)
{
    writeConfig("lumetra.conf", {{"port", "0"}, {"createLog", "1"}});
    ASSERT_EQ(chdir(scratch.path().c_str()), 0);
    ::testing::internal::CaptureStderr();
    const std::string error = startUpError({"lumetra_console"});
    writeToLog("lost");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(error, "");
    EXPECT_TRUE(createLog);
    // Nothing but the configuration: no log under some default name.
    std::vector<std::string> names;
    if (DIR* dir = opendir(scratch.path().c_str())) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(dir);
    }
    EXPECT_EQ(names, std::vector<std::string>{"lumetra.conf"});
}

TEST_F(StartUpTest, OneArgumentNamesTheFile)
{
    // A decoy in the working directory that must not be read.
    ASSERT_EQ(chdir(scratch.path().c_str()), 0);
    writeConfig("lumetra.conf", {{"port", "1"}});
    const int freeNow = freePort();
    const std::string named = writeConfig("other name.conf", {{"port", std::to_string(freeNow)}});

    ASSERT_EQ(startUpError({"lumetra_console", named}), "");
    EXPECT_EQ(port, freeNow);
    EXPECT_EQ(listeningPorts(), std::set<int>{freeNow});
}

TEST_F(StartUpTest, TwoOrMoreArgumentsPrintUsageAndCreateNothing)
{
    ASSERT_EQ(chdir(scratch.path().c_str()), 0);
    writeConfig("lumetra.conf", {{"port", "0"}, {"createLog", "1"}, {"log", "start.log"}});
    const std::string named = writeConfig("named.conf", {{"port", "0"}, {"createLog", "1"}, {"log", "named.log"}});
    const std::vector<std::vector<std::string>> argumentLists = {
        {"/opt/lumetra dir/lumetra_console", named, "extra"},
        {"lumetra_console", named, "a", "b"},
    };
    for (const auto& arguments : argumentLists) {
        SCOPED_TRACE(arguments.size());
        ::testing::internal::CaptureStderr();
        int result = -1;
        try {
            result = startUp(arguments);
        } catch (const ErrorText& error) {
            ADD_FAILURE() << "threw " << error;
        }
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "usage: " + arguments[0] + " [config]\n");
        EXPECT_EQ(result, 1);
        EXPECT_EQ(config, nullptr);
        EXPECT_EQ(server, nullptr);
        EXPECT_EQ(logFile, nullptr);
        EXPECT_FALSE(createLog);
        EXPECT_EQ(port, 80);
        EXPECT_EQ(ss1.str(), "");
        EXPECT_TRUE(listeningPorts().empty());
    }
    EXPECT_FALSE(fileExists(scratch.file("start.log")));
    EXPECT_FALSE(fileExists(scratch.file("named.log")));
}

TEST_F(StartUpTest, PortIsReadByLeadingDigits)
{
    struct PortCase {
        std::string before, after;  // around a port number that is free now
        int added;                  // added to that number in the file; the listener still gets the free one
        bool anyPort;               // no number: the value is before alone, port reads 0
    };
    const std::vector<PortCase> cases = {
        {"", "", 0, false},     {"", "x", 0, false},   {" ", "", 0, false},    {"\t", "", 0, false},
        {"+", "", 0, false},    {"", " 1", 0, false},  {"", ".5", 0, false},   {"", "", 65536, false},
        {"", "", 0, true} /* key absent */, {"abc", "", 0, true},  {"x80", "", 0, true},   {"-", "", 0, true},
    };
    for (const PortCase& c : cases) {
        const int freeNow = freePort();
        const std::string value = c.anyPort ? c.before : c.before + std::to_string(freeNow + c.added) + c.after;
        SCOPED_TRACE("port value '" + value + "'");
        // An empty value cannot be written: the reader rejects "port=", so it is left out.
        const std::string path =
            value.empty() ? writeConfig("port.conf", {{"device", "0"}}) : writeConfig("port.conf", {{"port", value}});
        ASSERT_EQ(startUpError({"lumetra_console", path}), "");
        const std::set<int> ports = listeningPorts();
        ASSERT_EQ(ports.size(), 1u);
        if (c.anyPort) {
            EXPECT_EQ(port, 0);
            EXPECT_NE(*ports.begin(), 0);
        } else {
            EXPECT_EQ(port, freeNow + c.added);
            EXPECT_EQ(*ports.begin(), freeNow);
        }
        releaseResources();
        EXPECT_TRUE(listeningPorts().empty());
    }
}

TEST_F(StartUpTest, SwitchesAreOnOnlyForExactlyOne)
{
    struct SwitchCase {
        const char* value;  // nullptr: key absent
        bool on;
    };
    const std::vector<SwitchCase> cases = {{"1", true},   {"true", false}, {"01", false}, {"1 ", false},
                                           {" 1", false}, {"yes", false},  {nullptr, false}};
    int row = 0;
    for (const SwitchCase& c : cases) {
        SCOPED_TRACE(c.value == nullptr ? std::string("absent") : "'" + std::string(c.value) + "'");
        resetServerState();
        const std::string logPath = scratch.file("switch" + std::to_string(row++) + ".log");
        std::vector<std::pair<std::string, std::string>> entries = {
            {"port", "0"}, {"log", logPath}, {"resizeWidth", "32"}, {"resizeHeight", "24"}};
        // An absent key is the only way to an empty value: the reader rejects "createLog=".
        if (c.value != nullptr) {
            entries.push_back({"createLog", c.value});
            entries.push_back({"resize", c.value});
        }
        const std::string path = writeConfig("switch.conf", entries);

        ASSERT_EQ(startUpError({"lumetra_console", path}), "");
        EXPECT_EQ(createLog, c.on);
        EXPECT_EQ(resize, c.on);
        if (c.on) {
            EXPECT_EQ(logMessages(logPath), std::vector<std::string>{"program started"});
            EXPECT_EQ(destSize, cv::Size(32, 24));
            EXPECT_EQ(outImage.size(), cv::Size(32, 24));
            EXPECT_EQ(outImage.type(), CV_8UC3);
        } else {
            EXPECT_FALSE(fileExists(logPath));
            EXPECT_TRUE(outImage.empty());
        }
    }
}

TEST_F(StartUpTest, PictureSizeOutsideRangeIsRejectedAfterLoggingStart)
{
    struct SizeCase {
        const char* width;  // nullptr: key absent
        const char* height;
        bool accepted;
    };
    const std::vector<SizeCase> cases = {
        {"1", "1", true},        {"16384", "1", true},    {"1", "16384", true},  {"320x", " 240", true},
        {"0", "24", false},      {"32", "0", false},      {"-1", "24", false},   {"32", "-5", false},
        {"16385", "24", false},  {"32", "16385", false},  {nullptr, nullptr, false}, {"abc", "24", false},
    };
    int row = 0;
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(std::string(c.width ? c.width : "absent") + " by " + (c.height ? c.height : "absent"));
        resetServerState();
        const std::string logPath = scratch.file("size" + std::to_string(row++) + ".log");
        std::vector<std::pair<std::string, std::string>> entries = {
            {"port", "0"}, {"createLog", "1"}, {"log", logPath}, {"resize", "1"}};
        if (c.width != nullptr)
            entries.push_back({"resizeWidth", c.width});
        if (c.height != nullptr)
            entries.push_back({"resizeHeight", c.height});
        const std::string path = writeConfig("size.conf", entries);

        const std::string error = startUpError({"lumetra_console", path});
        EXPECT_EQ(logMessages(logPath), std::vector<std::string>{"program started"});
        if (c.accepted) {
            ASSERT_EQ(error, "");
            EXPECT_EQ(outImage.size(), destSize);
            EXPECT_EQ(outImage.type(), CV_8UC3);
            EXPECT_NE(server, nullptr);
        } else {
            EXPECT_EQ(error, resizeError);
            EXPECT_EQ(server, nullptr);
            EXPECT_TRUE(listeningPorts().empty());
            EXPECT_EQ(ss1.str(), "");
        }
    }
}

TEST_F(StartUpTest, TakenPortFailsAfterLoggingStart)
{
    const int taken = freePort();
    const std::string logPath = scratch.file("access.log");
    const std::string path =
        writeConfig("taken.conf", {{"port", std::to_string(taken)}, {"createLog", "1"}, {"log", logPath}});
    {
        PortBlocker blocker(taken);
        ASSERT_TRUE(blocker.holds());
        const std::string error = startUpError({"lumetra_console", path});
        EXPECT_EQ(error, bindError);
        EXPECT_EQ(server, nullptr);
        EXPECT_EQ(ss1.str(), "") << "the header is built only after the listener";
        EXPECT_EQ(logMessages(logPath), std::vector<std::string>{"program started"});

        // What a host does with the error.
        releaseResources();
        writeToLog(error.c_str());
        EXPECT_EQ(logMessages(logPath), (std::vector<std::string>{"program started", bindError}));
    }
    // Once the port is free again a restart takes it.
    ASSERT_EQ(startUpError({"lumetra_console", path}), "");
    EXPECT_EQ(listeningPorts(), std::set<int>{taken});
    EXPECT_EQ(ss1.str(), expectedHeader);
}

TEST_F(StartUpTest, RejectedConfigurationKeepsTheEarlierOne)
{
    const std::string logPath = scratch.file("first.log");
    const std::string good =
        writeConfig("good.conf", {{"port", "0"}, {"createLog", "1"}, {"log", logPath}, {"marker", "first"}});
    ASSERT_EQ(startUpError({"lumetra_console", good}), "");
    const ConfigFile* earlier = config.get();
    releaseResources();

    const std::string bad = scratch.file("bad.conf");
    writeFile(bad, configText({{"port", "0"}, {"createLog", "1"}, {"log", scratch.file("second.log")}}) + "\n");
    EXPECT_EQ(startUpError({"lumetra_console", bad}), "ConfigFile: parsing error!");
    EXPECT_EQ(config.get(), earlier);
    EXPECT_EQ(config->get("marker"), "first");
    EXPECT_EQ(server, nullptr);

    // The log of the kept configuration still writes where it did.
    writeToLog("after the rejection");
    EXPECT_EQ(logMessages(logPath), (std::vector<std::string>{"program started", "after the rejection"}));
    EXPECT_FALSE(fileExists(scratch.file("second.log")));
}

TEST_F(StartUpTest, SecondStartUpLeavesOneHeaderCopy)
{
    const std::string path = writeConfig("header.conf", {{"port", "0"}});
    ASSERT_EQ(startUpError({"lumetra_console", path}), "");
    EXPECT_EQ(ss1.str(), expectedHeader);
    std::string firstLine;
    std::getline(ss1, firstLine);  // move the read position
    EXPECT_EQ(firstLine, "HTTP/1.1 202 OK");

    releaseResources();
    ASSERT_EQ(startUpError({"lumetra_console", path}), "");
    EXPECT_EQ(ss1.str(), expectedHeader);
    const std::string fromReadPosition((std::istreambuf_iterator<char>(ss1)), std::istreambuf_iterator<char>());
    EXPECT_EQ(fromReadPosition, expectedHeader);
}

TEST_F(StartUpTest, RepeatedReleaseIsHarmless)
{
    const int freeNow = freePort();
    const std::string logPath = scratch.file("access.log");
    const std::string path =
        writeConfig("release.conf", {{"port", std::to_string(freeNow)}, {"createLog", "1"}, {"log", logPath}});

    ASSERT_EQ(startUpError({"lumetra_console", path}), "");
    epilogue();
    EXPECT_EQ(server, nullptr);
    EXPECT_TRUE(listeningPorts().empty());
    releaseResources();
    releaseResources();
    epilogue();
    EXPECT_EQ(server, nullptr);
    EXPECT_EQ(conn, nullptr);
    EXPECT_EQ(inStream, nullptr);

    // Configuration, log and header stay for the host's last message and a restart.
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(ss1.str(), expectedHeader);
    writeToLog("released");
    EXPECT_EQ(logMessages(logPath), (std::vector<std::string>{"program started", "released"}));

    ASSERT_EQ(startUpError({"lumetra_console", path}), "");
    EXPECT_EQ(listeningPorts(), std::set<int>{freeNow});
    releaseResources();
    releaseResources();
    EXPECT_TRUE(listeningPorts().empty());
}

TEST_F(StartUpTest, RepeatedStartUpsKeepMemoryFlatAndLogInPlace)
{
    // Two configurations in turn, so a log left pointing at a replaced configuration's text shows.
    const std::vector<std::string> logPaths = {scratch.file("access log of the first configuration.log"),
                                               scratch.file("access log of the second configuration.log")};
    std::vector<std::string> configs;
    for (size_t i = 0; i < logPaths.size(); ++i) {
        configs.push_back(writeConfig("restart" + std::to_string(i) + ".conf",
                                      {{"port", "0"},
                                       {"createLog", "1"},
                                       {"log", logPaths[i]},
                                       {"resize", "1"},
                                       {"resizeWidth", "640"},
                                       {"resizeHeight", "480"},
                                       {"padding", std::string(4096, 'p')}}));  // a leaked table shows
    }
    const int warmUp = 100, cycles = 2000;
    long before = 0;
    std::vector<std::vector<std::string>> expected(logPaths.size());
    for (int cycle = 0; cycle < warmUp + cycles; ++cycle) {
        if (cycle == warmUp)
            before = residentBytes();
        const size_t which = static_cast<size_t>(cycle) % configs.size();
        const std::string error = startUpError({"lumetra_console", configs[which]});
        ASSERT_EQ(error, "") << "cycle " << cycle;
        const std::string message = "cycle " + std::to_string(cycle);
        writeToLog(message.c_str());
        expected[which].push_back("program started");
        expected[which].push_back(message);
        releaseResources();
    }
    const long growth = residentBytes() - before;
    for (size_t i = 0; i < logPaths.size(); ++i)
        EXPECT_EQ(logMessages(logPaths[i]), expected[i]) << logPaths[i];
    if (underAddressSanitizer)
        std::printf("resident growth under AddressSanitizer (not judged, its quarantine holds freed memory): %ld\n",
                    growth);
    else
        EXPECT_LT(growth, 4L * 1024 * 1024) << "resident memory grew by " << growth << " bytes";
}

}  // namespace
