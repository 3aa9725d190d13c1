#include <gtest/gtest.h>

#include "setup/setup_rules.h"

namespace ordane::setup {
namespace {

TEST(SetupRulesTest, RunningCopiesAreFoundByImagePathInAnySpelling) {
    const Text installed = u"C:\\Program Files (x86)\\Ordane\\Ordane.exe";
    const std::vector<RunningProcess> running = {
        {10, u"c:\\program files (x86)\\ordane\\ORDANE.EXE"},         // another session's copy
        {11, u"\\\\?\\C:\\Program Files (x86)\\Ordane\\Ordane.exe"},  // long-path form
        {12, u"C:/Program Files (x86)//Ordane/.\\x\\..\\Ordane.exe"},
        {13, u"D:\\Ordane\\Ordane.exe"},  // a portable copy elsewhere
        {14, u"C:\\Program Files (x86)\\Ordane\\Ordane.exe.bak"},
        {15, u""},        // image not readable
        {16, installed},  // the caller itself
    };
    EXPECT_EQ(CopiesToEnd(running, installed, 16), (std::vector<std::uint32_t>{10, 11, 12}));
    EXPECT_TRUE(SamePath(u"\\\\?\\UNC\\srv\\share\\O.exe", u"\\\\SRV\\Share\\o.exe"));
    EXPECT_FALSE(SamePath(u"C:\\..\\Ordane.exe", u"C:\\..\\Ordane.exe"));  // climbs above root
}

TEST(SetupRulesTest, OnlyFoldersBelowSystemManagedOnesKeepInheritedRights) {
    const std::vector<Text> managed = {u"C:\\Program Files", u"C:\\Program Files (x86)",
                                       u"C:\\Windows"};
    EXPECT_EQ(DecideFolder(u"C:\\Program Files (x86)\\Ordane", managed),
              FolderRule::kInheritsSafeRights);
    EXPECT_EQ(DecideFolder(u"c:\\program files\\Vendor\\Ordane\\", managed),
              FolderRule::kInheritsSafeRights);
    EXPECT_EQ(DecideFolder(u"D:\\Ordane", managed), FolderRule::kProtect);
    EXPECT_EQ(DecideFolder(u"C:\\Program Files Ordane", managed), FolderRule::kProtect);
    EXPECT_EQ(DecideFolder(u"C:\\Program Files (x86)\\..\\Ordane", managed), FolderRule::kProtect);
    EXPECT_EQ(DecideFolder(u"\\\\srv\\apps\\Ordane", managed), FolderRule::kProtect);
    // Locking these down would take the rights of everything else in them.
    EXPECT_EQ(DecideFolder(u"D:\\", managed), FolderRule::kRefuse);
    EXPECT_EQ(DecideFolder(u"\\\\srv\\apps", managed), FolderRule::kRefuse);
    EXPECT_EQ(DecideFolder(u"C:\\Program Files (x86)\\", managed), FolderRule::kRefuse);
    EXPECT_EQ(DecideFolder(u"Ordane", managed), FolderRule::kRefuse);
}

TEST(SetupRulesTest, OrdaneStartsOnlyInAUsersSessionWithOrdinaryRights) {
    LaunchContext deployment{.isLocalSystem = true, .isElevated = true};
    EXPECT_EQ(DecideLaunch(deployment), LaunchWay::kNotStarted);  // nobody logged on
    deployment.shellRunning = true;  // session 0 has no shell of a user; still nobody
    EXPECT_EQ(DecideLaunch(deployment), LaunchWay::kNotStarted);
    deployment.consoleUserLoggedOn = true;
    EXPECT_EQ(DecideLaunch(deployment), LaunchWay::kAsConsoleUser);

    LaunchContext admin{.isElevated = true, .consoleUserLoggedOn = true};
    EXPECT_EQ(DecideLaunch(admin), LaunchWay::kNotStarted);  // no shell to take rights from
    admin.shellRunning = true;
    EXPECT_EQ(DecideLaunch(admin), LaunchWay::kWithShellToken);

    EXPECT_EQ(DecideLaunch(LaunchContext{}), LaunchWay::kDirect);
}

TEST(SetupRulesTest, TheUninstallerCopyGetsTheOptionsAsTypedAndTheInstalledFolderLast) {
    const Text copy = u"C:\\Temp\\o 1\\uninstall-ordane.exe";
    const Text folder = u"C:\\Program Files (x86)\\Ordane";
    const Text expected = u"\"" + copy + u"\" /S /PURGE _?=" + folder;
    EXPECT_EQ(
        UninstallerCommandLine(u"\"" + folder + u"\\uninstall.exe\"  /S /PURGE", copy, folder),
        expected);
    EXPECT_EQ(UninstallerCommandLine(u"uninstall.exe\t/S /PURGE ", copy, folder), expected);
    // The older quiet command, with its own "_?=": the folder is named once.
    EXPECT_EQ(UninstallerCommandLine(u"\"" + folder + u"\\uninstall.exe\" /S /PURGE _?=" + folder,
                                     copy, folder),
              expected);
    EXPECT_EQ(UninstallerCommandLine(u"\"" + folder + u"\\uninstall.exe\"", copy, folder),
              u"\"" + copy + u"\" _?=" + folder);
}

}  // namespace
}  // namespace ordane::setup
