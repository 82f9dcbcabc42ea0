// AccessLog against real files: the line format in UTC with English names, appending, lost lines.
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../server/AccessLog.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const char* const dayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const monthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int indexOf(const char* const* names, int count, const std::string& name)
{
    for (int i = 0; i < count; ++i)
        if (name == names[i])
            return i;
    return -1;
}

struct ParsedLine {
    bool matched = false;
    std::time_t when = 0;
    std::string message;
};

bool digitsAt(const std::string& text, size_t at, size_t count)
{
    for (size_t i = at; i < at + count; ++i)
        if (i >= text.size() || text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

// Parses "Www, DD Mmm YYYY HH:MM:SS GMT - message" (every number zero-padded) and reads the stamp back as UTC.
ParsedLine parseLine(const std::string& line)
{
    ParsedLine parsed;
    const bool shaped = line.size() >= 32 && line.compare(3, 2, ", ") == 0 && digitsAt(line, 5, 2) &&
                        line[7] == ' ' && line[11] == ' ' && digitsAt(line, 12, 4) && line[16] == ' ' &&
                        digitsAt(line, 17, 2) && line[19] == ':' && digitsAt(line, 20, 2) && line[22] == ':' &&
                        digitsAt(line, 23, 2) && line.compare(25, 7, " GMT - ") == 0;
    if (!shaped)
        return parsed;
    std::tm fields{};
    fields.tm_mday = std::stoi(line.substr(5, 2));
    fields.tm_mon = indexOf(monthNames, 12, line.substr(8, 3));
    fields.tm_year = std::stoi(line.substr(12, 4)) - 1900;
    fields.tm_hour = std::stoi(line.substr(17, 2));
    fields.tm_min = std::stoi(line.substr(20, 2));
    fields.tm_sec = std::stoi(line.substr(23, 2));
    const int weekday = indexOf(dayNames, 7, line.substr(0, 3));
    const bool inRange = fields.tm_mon >= 0 && fields.tm_mday >= 1 && fields.tm_mday <= 31 && fields.tm_hour < 24 &&
                         fields.tm_min < 60 && fields.tm_sec < 61;
    parsed.when = timegm(&fields);
    // timegm fills in the weekday: the day name must belong to the date.
    parsed.matched = inRange && weekday == fields.tm_wday;
    parsed.message = line.substr(32);
    return parsed;
}

// Runs with a time zone far from UTC, so a local-time stamp shows.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ")) {
            hadOld = true;
            oldZone = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (hadOld)
            setenv("TZ", oldZone.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool hadOld = false;
    std::string oldZone;
};

class AccessLogTest : public ::testing::Test {
protected:
    ScratchDir scratch;
    std::string path = scratch.file("access.log");

    // Logs each message, checks every line against the clock, returns the messages read back.
    std::vector<std::string> logAndCheckStamps(const std::vector<std::string>& messages)
    {
        AccessLog log(path.c_str());
        const std::time_t before = std::time(nullptr);
        for (const std::string& message : messages)
            log.log(message.c_str());
        const std::time_t after = std::time(nullptr);

        std::vector<std::string> read;
        for (const std::string& line : readLines(path)) {
            const ParsedLine parsed = parseLine(line);
            EXPECT_TRUE(parsed.matched) << "line: " << line;
            // Generous: a loaded machine may pause between the clock readings and the writes.
            EXPECT_GE(parsed.when, before - 2) << "line: " << line;
            EXPECT_LE(parsed.when, after + 2) << "line: " << line;
            read.push_back(parsed.message);
        }
        return read;
    }
};

TEST_F(AccessLogTest, LinesCarryUtcStampAndMessageUnchanged)
{
    // +5:45 and -9:30 from UTC, no zone database needed.
    for (const char* zone : {"UTC0", "XYZ-5:45", "ABC9:30"}) {
        SCOPED_TRACE(zone);
        ScopedTimeZone timeZone(zone);
        std::remove(path.c_str());
        const std::vector<std::string> messages = {"program started", "127.0.0.1", "100% %s %n %d done", "",
                                                   "TCPConnection: bind == SOCKET_ERROR"};
        EXPECT_EQ(logAndCheckStamps(messages), messages);
        const std::string bytes = readFile(path);
        EXPECT_EQ(bytes.find('\r'), std::string::npos);
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(bytes.back(), '\n');
        // 29-character stamp, then " - ".
        EXPECT_EQ(bytes.substr(29, 3 + 15), " - program started");
    }
}

TEST_F(AccessLogTest, NamesStayEnglishUnderAnotherLocale)
{
    // A German locale: from the system, else built into the scratch directory when the sources are there.
    const char* const name = "de_DE.UTF-8";
    std::string previous = std::setlocale(LC_ALL, nullptr);
    bool available = std::setlocale(LC_ALL, name) != nullptr;
    if (!available && access("/usr/share/i18n/locales/de_DE", R_OK) == 0) {
        const std::string command = "localedef -i de_DE -f UTF-8 '" + scratch.file(name) + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) == 0) {
            setenv("LOCPATH", scratch.path().c_str(), 1);
            available = std::setlocale(LC_ALL, name) != nullptr;
            unsetenv("LOCPATH");
        }
    }
    if (!available)
        GTEST_SKIP() << "no German locale could be had (install the Debian package locales)";

    // Make sure the locale really names days differently.
    char localDay[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(localDay, sizeof localDay, "%a", std::gmtime(&now));
    const bool german = indexOf(dayNames, 7, localDay) < 0;

    const std::vector<std::string> messages = {"program started"};
    const std::vector<std::string> read = logAndCheckStamps(messages);
    std::setlocale(LC_ALL, previous.c_str());

    ASSERT_TRUE(german) << "strftime gave " << localDay << " under " << name;
    EXPECT_EQ(read, messages);
}

TEST_F(AccessLogTest, AppendsWithoutTruncatingAndHoldsNoFileOpen)
{
    writeFile(path, "earlier line\n");
    AccessLog log(path.c_str());
    log.log("first");
    log.log("second");
    std::vector<std::string> lines = readLines(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier line");
    EXPECT_EQ(parseLine(lines[1]).message, "first");
    EXPECT_EQ(parseLine(lines[2]).message, "second");

    // A log moved away between two lines is started anew at the path.
    const std::string moved = scratch.file("moved.log");
    ASSERT_EQ(std::rename(path.c_str(), moved.c_str()), 0);
    log.log("third");
    EXPECT_EQ(readLines(moved).size(), 3u);
    lines = readLines(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(parseLine(lines[0]).message, "third");
}

TEST_F(AccessLogTest, UnopenablePathLosesLineSilently)
{
    const std::string missingDirectory = scratch.file("missing");
    const std::string inMissingDirectory = missingDirectory + "/access.log";
    const std::string directory = scratch.file("directory");
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    for (const std::string& unopenable : {std::string(), inMissingDirectory, directory}) {
        SCOPED_TRACE("path '" + unopenable + "'");
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        AccessLog log(unopenable.c_str());
        log.log("lost");
        log.log("lost again");
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    }
    EXPECT_FALSE(fileExists(missingDirectory));
    struct stat info {};
    ASSERT_EQ(stat(directory.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST_F(AccessLogTest, ConstructingTouchesNoFile)
{
    AccessLog log(path.c_str());
    EXPECT_FALSE(fileExists(path));
    log.log("now");
    EXPECT_TRUE(fileExists(path));
}

}  // namespace
