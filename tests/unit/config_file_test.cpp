// ConfigFile against real files: the line format, its rejections, and lookups.
#include <dirent.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../server/ConfigFile.h"
#include "../../server/lumetra.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const std::string parsingError = "ConfigFile: parsing error!";

int openDescriptorCount()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

struct ParseCase {
    const char* name;
    std::string contents;
    std::map<std::string, std::string> entries;  // key -> value the table must hold
    std::vector<std::string> absentKeys;         // keys that must read as empty text
};

std::string repeated(char c, size_t count)
{
    return std::string(count, c);
}

std::string bom = "\xEF\xBB\xBF";

std::vector<ParseCase> acceptedFiles()
{
    const std::string longest = "k=" + repeated('v', 65532);  // 65534 characters
    return {
        {"single entry", "port=80", {{"port", "80"}}, {}},
        {"separator runs before and between", "==port===80", {{"port", "80"}}, {}},
        {"text after a second separator dropped", "port=80=90\nlog=a=b=c", {{"port", "80"}, {"log", "a"}}, {}},
        {"blank before separator is another key", "port =80", {{"port ", "80"}}, {"port"}},
        {"blanks and tabs kept in values", "log= a b \t", {{"log", " a b \t"}}, {}},
        {"tab in key kept", "port\t=80", {{"port\t", "80"}}, {"port"}},
        {"keys are case-sensitive", "Port=80\ndevicepretimeout=5", {{"Port", "80"}, {"devicepretimeout", "5"}},
         {"port", "devicePreTimeout"}},
        {"key of blanks only", "   =x", {{"   ", "x"}}, {}},
        {"number-sign line is an ordinary entry", "#port=81\nport=80", {{"#port", "81"}, {"port", "80"}}, {}},
        {"CR LF line ends", "port=80\r\ncreateLog=1\r\nlog=a.log",
         {{"port", "80"}, {"createLog", "1"}, {"log", "a.log"}}, {}},
        {"lone CR stays in the value", "log=a\rb\nport=1", {{"log", "a\rb"}, {"port", "1"}}, {}},
        {"last duplicate wins", "port=80\nport=81\nport=82", {{"port", "82"}}, {}},
        {"NUL byte ends the line's text", std::string("log=a\0junk=x\nport=1", 19), {{"log", "a"}, {"port", "1"}},
         {"junk"}},
        {"byte-order mark stays in the first key", bom + "port=80\nlog=x", {{bom + "port", "80"}, {"log", "x"}},
         {"port"}},
        {"line of 65534 characters read whole", longest + "\nz=1", {{"k", repeated('v', 65532)}, {"z", "1"}}, {}},
        {"line of 65534 characters ending the file", "a=1\n" + longest, {{"a", "1"}, {"k", repeated('v', 65532)}}, {}},
        {"line of 65535 characters cut and the rest ignored", "a=1\n" + longest + "w\nz=1",
         {{"a", "1"}, {"k", repeated('v', 65532)}}, {"z", "w"}},
        {"much longer line cut and the rest ignored", longest + repeated('w', 10000) + "\nz=1",
         {{"k", repeated('v', 65532)}}, {"z"}},
        // deviceSource alone takes the rest of its line, "=" included.
        {"deviceSource keeps a query", "deviceSource=http://h/x?a=1&b=2", {{"deviceSource", "http://h/x?a=1&b=2"}}, {}},
        {"deviceSource after a separator run keeps caps",
         "deviceSource==videotestsrc ! video/x-raw,width=640 ! appsink\nport=8",
         {{"deviceSource", "videotestsrc ! video/x-raw,width=640 ! appsink"}, {"port", "8"}}, {}},
        {"deviceSource with leading separators and a trailing one", "==deviceSource=x=", {{"deviceSource", "x="}}, {}},
        {"deviceSource in a CR LF file", "deviceSource=a=b\r\nport=1", {{"deviceSource", "a=b"}, {"port", "1"}}, {}},
        {"other keys keep the cut", "device=a=b\ndeviceSourceX=c=d\ndevicesource=e=f\nsource=g=h",
         {{"device", "a"}, {"deviceSourceX", "c"}, {"devicesource", "e"}, {"source", "g"}}, {"deviceSource"}},
    };
}

std::vector<std::pair<const char*, std::string>> rejectedFiles()
{
    return {
        {"final LF", "port=80\n"},
        {"final CR LF", "port=80\r\n"},
        {"zero bytes", ""},
        {"only a line break", "\n"},
        {"empty line between entries", "port=80\n\nlog=x"},
        {"empty CR LF line between entries", "port=80\r\n\r\nlog=x"},
        {"line of blanks only", "port=80\n   \nlog=x"},
        {"line without separator", "port=80\nlog"},
        {"number-sign line without separator", "# a comment\nport=80"},
        {"nothing after the separator", "port=80\nlog="},
        {"only separators after the key", "log===\nport=80"},
        {"line of separators only", "port=80\n==="},
        {"deviceSource with nothing after it", "deviceSource="},
        {"deviceSource with only separators after it", "port=1\ndeviceSource===\nlog=x"},
        {"cut long line without separator", repeated('x', 70000)},
    };
}

class ConfigFileTest : public ::testing::Test {
protected:
    ScratchDir scratch;
    std::string path = scratch.file("lumetra.conf");
};

TEST_F(ConfigFileTest, AcceptedFilesGiveTheirEntries)
{
    for (const ParseCase& c : acceptedFiles()) {
        SCOPED_TRACE(c.name);
        writeFile(path, c.contents);
        try {
            ConfigFile config(path.c_str());
            for (const auto& [key, value] : c.entries) {
                const std::string got = config.get(key);
                if (value.size() > 100)  // keep a failure report readable
                    EXPECT_TRUE(got == value) << "key " << key << ": " << got.size() << " bytes, not " << value.size();
                else
                    EXPECT_EQ(got, value) << "key " << key;
            }
            for (const std::string& key : c.absentKeys)
                EXPECT_EQ(config.get(key), "") << "key " << key;
        } catch (const ErrorText& error) {
            ADD_FAILURE() << "rejected with " << error;
        }
    }
}

TEST_F(ConfigFileTest, MalformedFilesAreRejectedAndClosed)
{
    for (const auto& [name, contents] : rejectedFiles()) {
        SCOPED_TRACE(name);
        writeFile(path, contents);
        const int descriptorsBefore = openDescriptorCount();
        try {
            ConfigFile config(path.c_str());
            ADD_FAILURE() << "accepted";
        } catch (const ErrorText& error) {
            EXPECT_EQ(error, parsingError);
        }
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore) << "file left open";
    }
}

TEST_F(ConfigFileTest, CrLfFileReadsLikeLfFile)
{
    const std::vector<std::string> lines = {"port=80", "createLog=1", "log=C:\\logs\\a b.log", "resize=1",
                                            "deviceSource=v ! w=1", "sound= s.wav "};
    std::string lf, crlf;
    for (size_t i = 0; i < lines.size(); ++i) {
        const char* lfEnd = i + 1 < lines.size() ? "\n" : "";
        const char* crlfEnd = i + 1 < lines.size() ? "\r\n" : "";
        lf += lines[i] + lfEnd;
        crlf += lines[i] + crlfEnd;
    }
    const std::string lfPath = scratch.file("lf.conf");
    writeFile(lfPath, lf);
    writeFile(path, crlf);
    ConfigFile fromLf(lfPath.c_str());
    ConfigFile fromCrLf(path.c_str());
    for (const char* key : {"port", "createLog", "log", "resize", "deviceSource", "sound", "device"}) {
        EXPECT_EQ(fromCrLf.get(key), fromLf.get(key)) << "key " << key;
        EXPECT_EQ(fromCrLf.get(key).find('\r'), std::string::npos) << "key " << key;
    }
    EXPECT_EQ(fromLf.get("log"), "C:\\logs\\a b.log");
}

TEST_F(ConfigFileTest, UnopenableFileGivesEmptyTableSilently)
{
    const std::string missing = scratch.file("missing.conf");
    const std::string directory = scratch.path();
    for (const std::string& unopenable : {missing, directory}) {
        SCOPED_TRACE(unopenable);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        try {
            ConfigFile config(unopenable.c_str());
            EXPECT_EQ(config.get("port"), "");
            EXPECT_EQ(config.get("createLog"), "");
        } catch (const ErrorText& error) {
            ADD_FAILURE() << "rejected with " << error;
        }
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    }
    EXPECT_FALSE(fileExists(missing)) << "reading must not create the file";
}

TEST_F(ConfigFileTest, LookupsOfMissingKeysAndSetStayInMemory)
{
    const std::string contents = "port=80";
    writeFile(path, contents);
    ConfigFile config(path.c_str());

    EXPECT_EQ(config.get("sound"), "");
    EXPECT_EQ(config.get("sound"), "") << "a key added by a lookup still reads as empty";

    config.set("port", "81");
    config.set("sound", "s.wav");
    config.set("new", "value");
    EXPECT_EQ(config.get("port"), "81");
    EXPECT_EQ(config.get("sound"), "s.wav");
    EXPECT_EQ(config.get("new"), "value");
    EXPECT_EQ(readFile(path), contents) << "set must not write the file";
}

TEST_F(ConfigFileTest, StoredTextStaysPutWhileLookupsAddKeys)
{
    // The access log keeps this text's address for its whole life.
    writeFile(path, configText({{"log", scratch.file("a rather long access log name.log")}}));
    ConfigFile config(path.c_str());
    const std::string& logPath = config.text("log");
    const char* address = logPath.c_str();
    for (int i = 0; i < 1000; ++i)
        config.get("missing" + std::to_string(i));
    EXPECT_EQ(logPath.c_str(), address);
    EXPECT_STREQ(address, scratch.file("a rather long access log name.log").c_str());
}

}  // namespace
