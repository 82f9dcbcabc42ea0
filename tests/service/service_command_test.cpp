// lumetra_service from a console: install, uninstall and the usage line, all below a moved root.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "service_harness.h"

using namespace testing_support;
using namespace service_testing;

namespace {

const char* const installLine = "trying to install service...\n";
const char* const uninstallLine = "trying to uninstall service...\n";

// A value file holds its type (1 for REG_SZ), a line feed, then the bytes with the terminating NUL.
std::string recordOf(const std::string& directory)
{
    return "1\n" + directory + std::string(1, '\0');
}

unsigned modeOf(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

std::string linkTarget(const std::string& path)
{
    std::error_code error;
    return std::filesystem::read_symlink(path, error).string();
}

bool isEmptyFolder(const std::string& path)
{
    return std::filesystem::is_empty(path);
}

}  // namespace

class InstallKeyword : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(InstallKeyword, RecordsTheDirectoryAndRegistersAnEnabledUnit)
{
    ServiceFixture fixture;
    const Finished installed = fixture.run(GetParam());
    EXPECT_EQ(installed.status, 0);
    EXPECT_EQ(installed.out, installLine);
    EXPECT_EQ(installed.err, "");

    EXPECT_EQ(readFile(fixture.recordPath()), recordOf(fixture.appDir()));
    const std::string unit = readFile(fixture.unitPath());
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nExecStart=\"" + serviceBinary() + "\"\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nDescription=Lumetra Service\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nWantedBy=multi-user.target\n"), std::string::npos) << unit;
    EXPECT_EQ(linkTarget(fixture.wantsLinkPath()), "/etc/systemd/system/lumetra-service.service");

    // Machine-wide and written by root alone.
    EXPECT_EQ(modeOf(fixture.recordPath()), 0644u);
    EXPECT_EQ(modeOf(fixture.unitPath()), 0644u);
    for (std::string folder = fixture.recordPath(); folder.size() > fixture.root().size() + 1;) {
        folder = folder.substr(0, folder.find_last_of('/'));
        if (folder.size() > fixture.root().size()) {
            EXPECT_EQ(modeOf(folder), 0755u) << folder;
        }
    }
    // Nothing but the record and the unit: no partial files left behind.
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(fixture.root())) {
        if (!entry.is_directory())
            files.insert(entry.path().string().substr(fixture.root().size()));
    }
    EXPECT_EQ(files, (std::set<std::string>{
                         "/etc/systemd/system/lumetra-service.service",
                         "/etc/systemd/system/multi-user.target.wants/lumetra-service.service",
                         "/var/lib/lumetra-registry/HKEY_LOCAL_MACHINE/Software/lumetra_service/path",
                     }));
}

INSTANTIATE_TEST_SUITE_P(AnyLetterCase, InstallKeyword,
                         testing::Values(std::vector<std::string>{"install"}, std::vector<std::string>{"INSTALL"},
                                         std::vector<std::string>{"InStAlL"},
                                         std::vector<std::string>{"install", "extra", "words"}));

TEST(Install, SecondInstallChangesOnlyTheRecord)
{
    ServiceFixture fixture;
    fixture.install();
    const std::string unitBefore = readFile(fixture.unitPath());
    struct stat before;
    ASSERT_EQ(stat(fixture.unitPath().c_str(), &before), 0);

    ScratchDir other;
    const Finished again = runToEnd(serviceBinary(), {"install"}, other.path(), Milliseconds(30000),
                                    fixture.environment());
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, installLine);
    EXPECT_EQ(again.err, "");

    EXPECT_EQ(readFile(fixture.recordPath()), recordOf(other.path()));
    struct stat after;
    ASSERT_EQ(stat(fixture.unitPath().c_str(), &after), 0);
    EXPECT_EQ(readFile(fixture.unitPath()), unitBefore);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
}

class UninstallKeyword : public testing::TestWithParam<std::string> {};

TEST_P(UninstallKeyword, RemovesAStoppedServiceAndTheRecord)
{
    ServiceFixture fixture;
    fixture.install();
    const Finished removed = fixture.run({GetParam()});
    EXPECT_EQ(removed.status, 0);
    EXPECT_EQ(removed.out, uninstallLine);
    EXPECT_EQ(removed.err, "");
    EXPECT_FALSE(fileExists(fixture.unitPath()));
    EXPECT_FALSE(std::filesystem::is_symlink(fixture.wantsLinkPath()));
    EXPECT_FALSE(fileExists(fixture.recordPath()));
    EXPECT_FALSE(fileExists(fixture.root() + "/var/lib/lumetra-registry/HKEY_LOCAL_MACHINE/Software/lumetra_service"));
}

INSTANTIATE_TEST_SUITE_P(AnyLetterCase, UninstallKeyword, testing::Values("uninstall", "UNINSTALL", "unInstall"));

TEST(Uninstall, WithoutAServiceStillDeletesTheRecord)
{
    ServiceFixture fixture;
    fixture.install();
    std::filesystem::remove(fixture.wantsLinkPath());
    std::filesystem::remove(fixture.unitPath());

    const Finished removed = fixture.run({"uninstall"});
    EXPECT_EQ(removed.status, 0);
    EXPECT_EQ(removed.out, uninstallLine);
    EXPECT_EQ(removed.err, "");
    EXPECT_FALSE(fileExists(fixture.recordPath()));

    // Nothing at all to remove: the same line, the same status.
    const Finished again = fixture.run({"uninstall"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, uninstallLine);
    EXPECT_EQ(again.err, "");
}

TEST(Install, AsAnUnprivilegedUserFailsAndRegistersNothing)
{
    struct Case {
        const char* name;
        bool storeExists;
        bool keyExists;
        const char* error;
    };
    const Case cases[] = {
        {"no store yet", false, false, "RegOpenKey() && RegCreateKey() error"},
        {"store without the key", true, false, "RegOpenKey() && RegCreateKey() error"},
        {"key written by root", true, true, "RegSetValueEx() error"},
    };
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to start the program as another user";

    for (const Case& one : cases) {
        SCOPED_TRACE(one.name);
        ServiceFixture fixture;
        // A copy any user may run, whatever the rights on the build folder.
        ScratchDir programs;
        chmod(programs.path().c_str(), 0755);
        const std::string program = programs.file("lumetra_service");
        std::filesystem::copy_file(serviceBinary(), program);
        chmod(program.c_str(), 0755);

        std::string recordBefore;
        if (one.storeExists) {
            fixture.install();
            recordBefore = readFile(fixture.recordPath());
            if (!one.keyExists)
                ASSERT_EQ(fixture.run({"uninstall"}).status, 0);
            else
                std::filesystem::remove_all(fixture.root() + "/etc");
        }

        const Finished installed =
            runToEnd("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", program, "install"},
                     fixture.appDir(), Milliseconds(30000), fixture.environment());
        EXPECT_EQ(installed.status, 0);
        EXPECT_EQ(installed.out, installLine);
        EXPECT_EQ(installed.err, std::string("Exception occured: ") + one.error + "\n");
        EXPECT_FALSE(fileExists(fixture.unitPath()));
        if (one.keyExists) {
            EXPECT_EQ(readFile(fixture.recordPath()), recordBefore);
        } else {
            EXPECT_FALSE(fileExists(fixture.recordPath()));
        }
    }
}

class UsageLine : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(UsageLine, WithoutAServiceManagerEndsAfterTheLine)
{
    ServiceFixture fixture;
    const Finished run = fixture.run(GetParam());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "usage: " + serviceBinary() + " [install|uninstall]");
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(isEmptyFolder(fixture.root()));
}

INSTANTIATE_TEST_SUITE_P(NoKeyword, UsageLine,
                         testing::Values(std::vector<std::string>{}, std::vector<std::string>{"run"},
                                         std::vector<std::string>{"installs"}, std::vector<std::string>{"", "install"},
                                         std::vector<std::string>{"lumetra.conf"}));

TEST(Install, TheUnitPassesSystemdsOwnCheck)
{
    const std::string analyzer = "/usr/bin/systemd-analyze";
    if (!fileExists(analyzer))
        GTEST_SKIP() << "systemd-analyze is not installed";
    ServiceFixture fixture;
    fixture.install();
    const Finished verified = runToEnd(analyzer, {"verify", fixture.unitPath()}, fixture.appDir());
    EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
    EXPECT_EQ(verified.err, "");
}
