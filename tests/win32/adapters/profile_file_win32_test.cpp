#include <gtest/gtest.h>

#include <windows.h>

#include "common/executable_location_win32.h"
#include "settings/profile_file_win32.h"
#include "temp_dir.h"

namespace ordane {
namespace {

using test::ReadWholeFile;
using test::TempDir;

const std::string kHuaxu = "\xBB\xAA\xD0\xF1";  // 华旭 in code page 936

TEST(ProfileFileWin32Test, RoundTripsAnsiValuesAndFallsBackToDefaults) {
    TempDir dir;
    // A folder name in Chinese, as on the workstations served: the name reaches the ANSI
    // profile functions through the code page.
    const Text folder = dir.Path() + u"\\条码设置";
    ASSERT_TRUE(CreateDirectoryW(reinterpret_cast<const wchar_t*>(folder.c_str()), nullptr));
    ProfileFileWin32 file(folder + u"\\Setting.ini");

    EXPECT_FALSE(file.Exists());
    EXPECT_EQ(file.Read("BCINFO", "Port", "4"), "4");

    file.Write("BCINFO", "Scanner", "HHP");
    file.Write("BCINFO", "Port", "12");
    file.Write("BCINFO", "AddEnter", "");
    file.Write("BCINFO", "CardReader", kHuaxu);
    EXPECT_TRUE(file.Exists());

    EXPECT_EQ(file.Read("BCINFO", "Scanner", ""), "HHP");
    EXPECT_EQ(file.Read("BCINFO", "Port", "4"), "12");
    EXPECT_EQ(file.Read("BCINFO", "CardReader", ""), kHuaxu);
    // Present but empty is not absent: the default does not apply.
    EXPECT_EQ(file.Read("BCINFO", "AddEnter", "1"), "");
    EXPECT_EQ(file.Read("BCINFO", "UsePort1", "4"), "4");
    EXPECT_EQ(file.Read("OTHER", "Scanner", "x"), "x");

    // On disk the value is in the ANSI code page, as other tools and older copies read it.
    const std::string onDisk =
        ReadWholeFile(reinterpret_cast<const wchar_t*>((folder + u"\\Setting.ini").c_str()));
    EXPECT_NE(onDisk.find("[BCINFO]"), std::string::npos);
    EXPECT_NE(onDisk.find("CardReader=" + kHuaxu), std::string::npos) << onDisk;

    // Values are read whole, however long.
    std::string longValue;
    for (int i = 0; i < 3000; ++i) {
        longValue += static_cast<char>('0' + i % 10);
    }
    file.Write("BCINFO", "Long", longValue);
    EXPECT_EQ(file.Read("BCINFO", "Long", ""), longValue);
    const std::string longDefault(700, 'd');
    EXPECT_EQ(file.Read("BCINFO", "Missing", longDefault), longDefault);

    // A directory of that name is no settings file.
    ProfileFileWin32 directory(folder);
    EXPECT_FALSE(directory.Exists());
}

TEST(ProfileFileWin32Test, FolderNamedOutsideTheCodePageKeepsTheFileInIt) {
    TempDir dir;
    // Korean letters have no place in code page 936.
    const Text folder = dir.Path() + u"\\\uD55C\uAD6D\uC5B4";
    ASSERT_TRUE(CreateDirectoryW(reinterpret_cast<const wchar_t*>(folder.c_str()), nullptr));
    ProfileFileWin32 file(folder + u"\\Setting.ini");

    file.Write("BCINFO", "Scanner", "HHP");
    file.Write("BCINFO", "CardReader", kHuaxu);
    EXPECT_TRUE(file.Exists());
    EXPECT_EQ(file.Read("BCINFO", "Scanner", ""), "HHP");
    EXPECT_EQ(file.Read("BCINFO", "CardReader", ""), kHuaxu);
    EXPECT_EQ(file.Read("BCINFO", "Port", "4"), "4");
    EXPECT_EQ(ReadWholeFile(reinterpret_cast<const wchar_t*>((folder + u"\\Setting.ini").c_str())),
              "[BCINFO]\r\nScanner=HHP\r\nCardReader=" + kHuaxu + "\r\n");
}

TEST(ProfileFileWin32Test, EmptyAndReadOnlyFilesAreToldApart) {
    TempDir dir;
    const Text name = dir.Path() + u"\\Setting.ini";
    const auto* wide = reinterpret_cast<const wchar_t*>(name.c_str());
    ProfileFileWin32 file(name);
    EXPECT_FALSE(file.Empty());  // absent
    HANDLE created = CreateFileW(wide, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
    EXPECT_TRUE(file.Exists());
    EXPECT_TRUE(file.Empty());
    EXPECT_TRUE(file.Write("BCINFO", "Port", "3"));
    EXPECT_FALSE(file.Empty());
    EXPECT_TRUE(file.Remove("BCINFO", "Port"));
    // The settings form tells an absent key by a default of one control character.
    EXPECT_EQ(file.Read("BCINFO", "Port", "\x01"), "\x01");

    // Another program holds the file without sharing it: the write is refused, and said so.
    // (Wine, run as root, writes read-only files all the same; this refusal it does keep.)
    HANDLE held = CreateFileW(wide, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(file.Write("BCINFO", "Port", "4"));
    EXPECT_FALSE(file.Remove("BCINFO", "Port"));
    CloseHandle(held);
    EXPECT_EQ(file.Read("BCINFO", "Port", "none"), "none");
}

TEST(ProfileFileWin32Test, ExecutableLocationNamesThisProgram) {
    const ExecutableLocation location = GetExecutableLocation();
    EXPECT_EQ(location.baseName, u"adapters_win32_test");
    ASSERT_FALSE(location.folder.empty());
    EXPECT_NE(location.folder.back(), u'\\');
    const Text exe = location.folder + u"\\" + location.baseName + u".exe";
    EXPECT_NE(GetFileAttributesW(reinterpret_cast<const wchar_t*>(exe.c_str())),
              INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace ordane
