#include <gtest/gtest.h>

#include "setup/local_network_access.h"
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

TEST(SetupRulesTest, RootsAndEverythingInASystemTreeAreRefused) {
    const std::vector<Text> managed = {u"C:\\Program Files", u"C:\\Program Files (x86)"};
    const std::vector<Text> system = {u"C:\\Windows",
                                      u"C:\\ProgramData",
                                      u"C:\\Users",
                                      u"E:\\Profiles\\clerk",
                                      u"C:\\Program Files\\Common Files",
                                      u""};
    const struct {
        const char16_t* folder;
        FolderRule rule;
    } cases[] = {
        {u"C:\\Program Files (x86)\\Ordane", FolderRule::kProtect},
        {u"D:\\Ordane", FolderRule::kProtect},
        {u"C:\\Program Files Ordane", FolderRule::kProtect},
        {u"C:\\Windows2\\Ordane", FolderRule::kProtect},  // a prefix of the name only
        {u"\\\\srv\\apps\\Ordane", FolderRule::kProtect},
        // Locking these down would take the rights of everything else in them.
        {u"D:\\", FolderRule::kRefuse},
        {u"\\\\srv\\apps", FolderRule::kRefuse},
        {u"C:\\Program Files (x86)\\", FolderRule::kRefuse},
        {u"Ordane", FolderRule::kRefuse},
        // Users may make folders in C:\Windows\Temp and ProgramData; other programs' files
        // live in all of these.
        {u"C:\\Windows\\Temp\\Ordane", FolderRule::kRefuse},
        {u"c:\\windows\\system32", FolderRule::kRefuse},
        {u"C:\\Windows", FolderRule::kRefuse},
        {u"C:\\ProgramData", FolderRule::kRefuse},
        {u"C:\\ProgramData\\Ordane", FolderRule::kRefuse},
        {u"C:\\Users\\Public", FolderRule::kRefuse},
        {u"E:\\Profiles\\clerk\\Ordane", FolderRule::kRefuse},
        {u"C:\\Program Files\\Common Files\\Ordane", FolderRule::kRefuse},
        {u"C:/Program Files/x/../Common Files/Ordane", FolderRule::kRefuse},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(DecideFolder(cases[i].folder, managed, system), cases[i].rule) << "case " << i;
    }
}

TEST(SetupRulesTest, TheFoldersAboveOrdanesAreListedFromTheRootDown) {
    EXPECT_EQ(Ancestors(u"D:\\Apps\\Ordane"), (std::vector<Text>{u"D:\\", u"D:\\Apps"}));
    // Letter case kept: a missing "Apps" is made as "Apps", not "APPS".
    EXPECT_EQ(Ancestors(u"d:/Apps//x/../Ordane\\"), (std::vector<Text>{u"d:\\", u"d:\\Apps"}));
    EXPECT_EQ(Ancestors(u"D:\\Ordane"), (std::vector<Text>{u"D:\\"}));
    EXPECT_EQ(Ancestors(u"\\\\srv\\apps\\pos\\Ordane"),
              (std::vector<Text>{u"\\\\srv\\apps\\", u"\\\\srv\\apps\\pos"}));
    EXPECT_TRUE(Ancestors(u"D:\\").empty());
    EXPECT_TRUE(Ancestors(u"Ordane").empty());
}

TEST(SetupRulesTest, APathIsRefusedWhenSomeoneNotTrustedMayChangeAFolderAboveOrdanes) {
    const Text admins = u"S-1-5-32-544", system = u"S-1-5-18", users = u"S-1-5-32-545";
    const Text authenticated = u"S-1-5-11", clerk = u"S-1-5-21-1-2-3-1001";
    const Text installer = u"S-1-5-21-1-2-3-500";
    const std::vector<Text> trusted = TrustedAccounts(installer);
    const AccessEntry full{true, false, admins, 0x1F01FF};
    const AccessEntry readUsers{true, false, users, 0x1200A9};
    // A data drive's root as Windows formats it: Authenticated Users may make folders in it and
    // modify what is below (inherit-only), not the root itself.
    const FolderSecurity root{admins,
                              {full,
                               {true, false, system, 0x1F01FF},
                               readUsers,
                               {true, true, authenticated, 0x1301BF},
                               {true, false, authenticated, 0x4}}};
    // D:\Apps made by an administrator: it inherits "Authenticated Users: Modify".
    const FolderSecurity inheritsModify{admins, {full, {true, false, authenticated, 0x1301BF}}};
    const FolderSecurity safe{admins, {full, readUsers, {true, true, users, 0x1F01FF}}};
    const struct {
        const char* what;
        std::vector<FolderSecurity> existing;
        bool changeable;
    } cases[] = {
        {"root only (D:\\Ordane, or D:\\Apps to be made)", {root}, false},
        {"first level inherits Modify: renamed by any user", {root, inheritsModify}, true},
        {"first level made by a user", {root, {clerk, {full}}}, true},
        {"owned by the installing administrator", {root, {installer, {full, readUsers}}}, false},
        {"safe, inherit-only entries do not apply", {root, safe}, false},
        {"a user may delete its children", {root, {admins, {{true, false, users, 0x40}}}}, true},
        {"a user may re-permission", {root, {admins, {{true, false, clerk, 0x40000}}}}, true},
        {"a user may re-own", {root, {admins, {{true, false, users, 0x80000}}}}, true},
        {"generic all for everyone",
         {root, {admins, {{true, false, u"S-1-1-0", 0x10000000}}}},
         true},
        {"a refusal is not a grant", {root, {admins, {{false, false, users, 0x1F01FF}}}}, false},
        {"root that users may empty", {{admins, {{true, false, users, 0x40}}}}, true},
        {"root owned by a user", {{clerk, {full}}}, true},
        {"a junction on the way", {root, {admins, {full}, true}}, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PathChangeableByOthers(c.existing, trusted), c.changeable) << c.what;
    }
}

TEST(SetupRulesTest, AnExistingFolderIsAdoptedOnlyWhenProtectedAndHoldingOnlyOrdanesNames) {
    const Text admins = u"S-1-5-32-544", system = u"S-1-5-18", users = u"S-1-5-32-545";
    const Text authenticated = u"S-1-5-11", clerk = u"S-1-5-21-1-2-3-1001";
    const std::vector<Text> trusted = TrustedAccounts(u"S-1-5-21-1-2-3-500");
    const AccessEntry full{true, false, admins, 0x1F01FF};
    const AccessEntry readUsers{true, false, users, 0x1200A9};
    // As the installer makes it: administrators and SYSTEM full control, Users read.
    const FolderSecurity ordane{admins, {full, {true, false, system, 0x1F01FF}, readUsers}};
    const FolderSecurity settingsFile{admins, {full, {true, false, users, 0x12019F}}};
    const auto file = [](const char16_t* name, FolderSecurity security) {
        return FolderEntry{name, false, false, 1, std::move(security)};
    };
    const std::vector<FolderEntry> installed = {
        file(u"Ordane.exe", ordane),    file(u"setting.ini", settingsFile),
        file(u"uninstall.exe", ordane), file(u"uninstall-ordane.exe", ordane),
        file(u"sdtapi.dll", ordane),    file(u"Ordane.exe.new", ordane)};
    const auto with = [&installed](FolderEntry entry) {
        std::vector<FolderEntry> entries = installed;
        entries.push_back(std::move(entry));
        return entries;
    };
    const struct {
        const char* what;
        FolderSecurity folder;
        std::vector<FolderEntry> entries;
        ExistingFolderRule rule;
    } cases[] = {
        {"an earlier protected Ordane folder", ordane, installed, ExistingFolderRule::kAdopt},
        {"an empty protected folder", ordane, {}, ExistingFolderRule::kAdopt},
        {"a folder a clerk made",
         {clerk, {full, {true, false, clerk, 0x1F01FF}}},
         {},
         ExistingFolderRule::kRefuse},
        {"made by an administrator, inheriting users' modify",
         {admins, {full, {true, false, authenticated, 0x1301BF}}},
         {},
         ExistingFolderRule::kRefuse},
        {"users may add files to what is made inside (inherit-only)",
         {admins, {full, {true, true, users, 0x1301BF}}},
         {},
         ExistingFolderRule::kRefuse},
        {"a clerk-owned sdtapi.dll",
         ordane,
         {file(u"sdtapi.dll", {clerk, {full}})},
         ExistingFolderRule::kRefuse},
        {"an sdtapi.dll users may replace",
         ordane,
         {file(u"SDTAPI.DLL", {admins, {full, {true, false, users, 0x12019F}}})},
         ExistingFolderRule::kRefuse},
        {"Ordane.exe with Setting.ini's rights",
         ordane,
         {file(u"Ordane.exe", settingsFile)},
         ExistingFolderRule::kRefuse},
        {"Setting.ini users may re-permission",
         ordane,
         {file(u"Setting.ini", {admins, {full, {true, false, users, 0x52019F}}})},
         ExistingFolderRule::kRefuse},
        {"an unknown library", ordane, with(file(u"WltRS.dll", ordane)),
         ExistingFolderRule::kRefuse},
        {"a subfolder", ordane, with({u"old", true, false, 1, ordane}),
         ExistingFolderRule::kRefuse},
        {"a junction",
         ordane,
         {{u"sdtapi.dll", false, true, 1, ordane}},
         ExistingFolderRule::kRefuse},
        {"a second name of another file",
         ordane,
         {{u"Ordane.exe", false, false, 2, ordane}},
         ExistingFolderRule::kRefuse},
        {"Setting.ini a user gave a second name elsewhere (copied)",
         ordane,
         {{u"Setting.ini", false, false, 2, settingsFile}},
         ExistingFolderRule::kAdopt},
        {"the folder itself a junction", {admins, {full}, true}, {}, ExistingFolderRule::kRefuse},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecideExistingFolder(c.folder, c.entries, trusted), c.rule) << c.what;
    }
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

TEST(SetupRulesTest, AfterAnUpgradeOrdaneStartsAgainInEverySessionThatHadACopy) {
    constexpr std::uint32_t kNoSession = 0xFFFFFFFF;
    const struct {
        std::vector<std::uint32_t> closedIn;
        bool runAsked;
        std::uint32_t runSession;
        std::vector<std::uint32_t> restarted;
    } cases[] = {
        {{2, 3, 2}, false, 1, {2, 3}},  // two clerks on a terminal server, not the console
        {{2, 3}, true, 1, {2, 3, 1}},   // /RUN: its session too
        {{1}, true, 1, {1}},            // once only
        {{0, 4}, false, 1, {4}},        // never the services' session
        {{}, true, kNoSession, {}},     // nobody at the console
        {{}, false, 1, {}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(SessionsToRestart(cases[i].closedIn, cases[i].runAsked, cases[i].runSession),
                  cases[i].restarted)
            << "case " << i;
    }

    const LaunchContext system{.isLocalSystem = true, .isElevated = true};
    const LaunchContext admin{.isElevated = true, .shellRunning = true};
    const LaunchContext adminNoShell{.isElevated = true};
    EXPECT_EQ(DecideRestart(system, 3, 0), RestartWay::kAsSessionUser);
    EXPECT_EQ(DecideRestart(admin, 1, 1), RestartWay::kWithShellToken);
    EXPECT_EQ(DecideRestart(admin, 3, 1), RestartWay::kNotStarted);  // another user's session
    EXPECT_EQ(DecideRestart(adminNoShell, 1, 1), RestartWay::kNotStarted);
    EXPECT_EQ(DecideRestart(LaunchContext{}, 1, 1), RestartWay::kDirect);
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

// A REG_MULTI_SZ's characters: each name ends with a NUL, the list with one more.
Text Multi(const std::vector<Text>& names) {
    Text value;
    for (const Text& name : names) {
        value += name + u'\0';
    }
    return value + u'\0';
}

TEST(SetupRulesTest, AReinstallTakesBackTheDeletionsARemovalLeftInItsFolderForTheRestart) {
    const Text exe = u"\\??\\D:\\Apps\\Ordane\\Ordane.exe";
    const Text rename[] = {exe + u".new", u"!" + exe};  // an upgrade's: kept
    const Text elsewhere =
        Multi({u"\\??\\D:\\Apps\\Ordane2\\Ordane.exe", u"", u"\\??\\D:\\Apps", u""});
    const struct {
        Text operations, expected;
    } cases[] = {
        {Multi({exe, u"", rename[0], rename[1], u"\\??\\d:\\apps\\ordane\\", u""}),
         Multi({rename[0], rename[1]})},
        {Multi({u"\\??\\D:\\Apps\\Ordane", u""}), Text()},
        {elsewhere, elsewhere},
        {Multi({exe}), Multi({exe})},  // not whole pairs: left alone
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WithoutPendingDeletions(c.operations, u"D:\\Apps\\Ordane"), c.expected);
    }
    EXPECT_EQ(WithoutPendingDeletions(Multi({u"\\??\\UNC\\srv\\s\\O\\Ordane.exe", u""}),
                                      u"\\\\SRV\\s\\o"),
              Text());
}

TEST(SetupRulesTest, OnlyHttpsPagesAreGrantedAndHttpOnAPublicAddressIsRefused) {
    const struct {
        const char* origin;
        PageReach reach;
    } cases[] = {
        {"https://counter.example.gov.cn", PageReach::kNeedsPolicy},
        {"HTTPS://Counter.Example.gov.cn:443", PageReach::kNeedsPolicy},
        {"https://10.1.2.3:8443", PageReach::kNeedsPolicy},
        // Pages of this machine and of the site's own network need nothing.
        {"http://127.0.0.1:8080", PageReach::kNeedsNothing},
        {"http://localhost", PageReach::kNeedsNothing},
        {"http://app.localhost:3000", PageReach::kNeedsNothing},
        {"http://10.20.30.40", PageReach::kNeedsNothing},
        {"http://172.16.0.1", PageReach::kNeedsNothing},
        {"http://172.31.255.255", PageReach::kNeedsNothing},
        {"http://192.168.1.5:8080", PageReach::kNeedsNothing},
        {"http://169.254.10.1", PageReach::kNeedsNothing},
        {"http://counter", PageReach::kNeedsNothing},  // an intranet name
        {"http://[::1]:8080", PageReach::kNeedsNothing},
        {"http://[fd12:3456::1]", PageReach::kNeedsNothing},
        {"http://[fe80::1]", PageReach::kNeedsNothing},
        {"http://[::ffff:c0a8:101]", PageReach::kNeedsNothing},  // 192.168.1.1
        // Numbers the browsers read as addresses count as those addresses.
        {"http://0x7f.1", PageReach::kNeedsNothing},
        {"http://3232235777", PageReach::kNeedsNothing},  // 192.168.1.1
        {"http://134744072", PageReach::kRefused},        // 8.8.8.8
        // Just outside the private ranges.
        {"http://172.15.255.255", PageReach::kRefused},
        {"http://172.32.0.1", PageReach::kRefused},
        {"http://192.169.0.1", PageReach::kRefused},
        {"http://8.8.8.8:80", PageReach::kRefused},
        {"http://[2001:db8::1]", PageReach::kRefused},
        {"http://[::ffff:8.8.8.8]", PageReach::kRefused},
        // A name is judged by the address it resolves to, known to the browser only.
        {"http://counter.example.gov.cn", PageReach::kNeedsNothing},
        // What the bridge leaves out too.
        {"http://256.1.1.1", PageReach::kNotAnOrigin},
        {"http://1.2.3.4.5", PageReach::kNotAnOrigin},
        {"http://[1::2::3]", PageReach::kNotAnOrigin},
        {"https://*.example.com", PageReach::kNotAnOrigin},
        {"https://counter.example.gov.cn/", PageReach::kNotAnOrigin},
        {"counter.example.gov.cn", PageReach::kNotAnOrigin},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReachOf(c.origin), c.reach) << c.origin;
    }
    const BrowserGrant grant = PlanBrowserGrant(
        "https://a.example, http://8.8.8.8 HTTPS://A.example:443\thttp://127.0.0.1:8080 "
        "https://b.example:8443,");
    EXPECT_EQ(grant.policy,
              (std::vector<std::string>{"https://a.example", "https://b.example:8443"}));
    EXPECT_EQ(grant.refused, (std::vector<std::string>{"http://8.8.8.8"}));
}

TEST(SetupRulesTest, AllowListEntriesAreAddedBesideOthersAndOnlyOursAreTakenAway) {
    using V = std::vector<ListValue>;
    const std::vector<std::string> ours = {"https://a.example", "https://b.example"};
    const struct {
        V existing;
        V added;
    } adding[] = {
        {{}, {{"1", "https://a.example"}, {"2", "https://b.example"}}},
        {{{"1", "https://x.example"}, {"2", "https://y.example"}},
         {{"3", "https://a.example"}, {"4", "https://b.example"}}},
        // A gap hides what follows it from the browsers: filled first.
        {{{"1", "https://x.example"}, {"3", "https://z.example"}},
         {{"2", "https://a.example"}, {"4", "https://b.example"}}},
        // Named already by someone else, in any spelling of the origin: not written again.
        {{{"1", "HTTPS://A.Example:443"}}, {{"2", "https://b.example"}}},
        {{{"1", "[*.]example"}, {"note", "https://b.example"}}, {{"2", "https://a.example"}}},
    };
    for (std::size_t i = 0; i < std::size(adding); ++i) {
        EXPECT_EQ(ValuesToAdd(adding[i].existing, ours), adding[i].added) << "case " << i;
    }

    const struct {
        V existing;
        V recorded;
        std::vector<std::string> remove;
        V set;
        bool keyEmpty;
    } removing[] = {
        {{{"1", "https://a.example"}}, {{"1", "https://a.example"}}, {"1"}, {}, true},
        // Written after ours: moved down so that the browsers still read it.
        {{{"1", "https://x.example"}, {"2", "https://a.example"}, {"3", "https://y.example"}},
         {{"2", "https://a.example"}},
         {"2", "3"},
         {{"2", "https://y.example"}},
         false},
        // Changed since by someone else: theirs now.
        {{{"1", "https://changed.example"}}, {{"1", "https://a.example"}}, {}, {}, false},
        {{{"1", "https://a.example"}, {"note", "x"}},
         {{"1", "https://a.example"}},
         {"1"},
         {},
         false},
        // Nothing of ours there: even a gap of others stays as it is.
        {{{"1", "https://x.example"}, {"3", "https://y.example"}}, {}, {}, {}, false},
    };
    for (std::size_t i = 0; i < std::size(removing); ++i) {
        const ListRemoval removal = ValuesToRemove(removing[i].existing, removing[i].recorded);
        EXPECT_EQ(removal.remove, removing[i].remove) << "case " << i;
        EXPECT_EQ(removal.set, removing[i].set) << "case " << i;
        EXPECT_EQ(removal.keyEmpty, removing[i].keyEmpty) << "case " << i;
    }
}

TEST(SetupRulesTest, AFolderAskedForWithDIsRefusedWhenTheInstallerGotAnother) {
    const char16_t* fallback = u"C:\\Program Files (x86)\\Ordane";
    const struct {
        const char16_t* line;
        const char16_t* got;
        bool same;
    } cases[] = {
        {u"setup.exe /S", fallback, true},  // none asked
        {u"setup.exe /S /NOAUTOSTART /RUN", fallback, true},
        {u"\"C:\\x /D=y\\setup.exe\" /S", fallback, true},  // in the program's own name
        {u"\"/X=a /D=C:\\q\" /S", fallback, true},          // inside an option NSIS reads quoted
        {u"setup.exe /S /D=D:\\Apps\\条码 Ordane", u"D:\\Apps\\条码 Ordane", true},
        {u"setup.exe /S /D=D:\\Apps\\Ordane\\  ", u"D:\\Apps\\Ordane", true},
        {u"setup.exe /S /D=d:\\apps\\ordane", u"D:\\Apps\\Ordane", true},
        // Replaced by NSIS's default without a word.
        {u"setup.exe /S /D=D:\\", fallback, false},
        {u"setup.exe /S /D=Apps\\Ordane", fallback, false},
        {u"setup.exe /S /D=c:/apps/ordane", fallback, false},
        {u"setup.exe /S /D=Q:\\NoDrive\\Ordane", fallback, false},
        {u"setup.exe /S /D=", fallback, false},
        {u"setup.exe /S /d=D:\\Apps\\Ordane", fallback, false},  // ignored by NSIS
        // Changed by NSIS: a '/' and ':' it found invalid are dropped.
        {u"setup.exe /S /D=D:\\Apps /RUN", u"D:\\Apps RUN", false},
        // NSIS reads an option's quote only at its start.
        {u"setup.exe /X=\"a /D=C:\\inner\" /S", u"C:\\inner S", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GotAskedFolder(c.line, c.got), c.same) << ToUtf8(c.line);
    }
}

}  // namespace
}  // namespace ordane::setup
