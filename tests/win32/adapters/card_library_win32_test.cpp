#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/executable_location_win32.h"
#include "devices/card_library_win32.h"
#include "temp_dir.h"

namespace ordane {
namespace {

using test::ReadWholeFile;
using test::TempDir;

// The simulated sdtapi.dll is built beside this test program; it is steered through
// state.ini and reports its calls in calls.log, both in the directory named here.
class CardReaderLibraryWin32Test : public ::testing::Test {
  protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"ORDANE_FAKE_SDTAPI_DIR", dir_.Wide().c_str());
    }
    void TearDown() override { SetEnvironmentVariableW(L"ORDANE_FAKE_SDTAPI_DIR", nullptr); }

    void WriteState(const std::string& content) {
        HANDLE file = CreateFileW((dir_.Wide() + L"\\state.ini").c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        CloseHandle(file);
    }
    std::string Calls() { return ReadWholeFile(dir_.Wide() + L"\\calls.log"); }
    // A file in this program's folder, where the library is looked for.
    static std::wstring BesideProgram(const std::wstring& name) {
        wchar_t exe[MAX_PATH];
        const std::wstring path(exe, GetModuleFileNameW(nullptr, exe, MAX_PATH));
        return path.substr(0, path.find_last_of(L'\\') + 1) + name;
    }

    TempDir dir_;
};

TEST_F(CardReaderLibraryWin32Test, CallsEveryFunctionOfTheLibraryBesideTheProgram) {
    // 张三 followed by a space, in UTF-8 in the control file.
    WriteState("samid=05.01-20101203-0008323712\ncard=\xE5\xBC\xA0\xE4\xB8\x89 \n");
    CardReaderLibraryWin32 library(GetExecutableLocation().folder);
    ASSERT_TRUE(library.Load());
    EXPECT_TRUE(library.Load());

    char samId[51];
    std::memset(samId, ' ', 50);
    samId[50] = '\x7F';
    library.SDT_GetSAMIDToStr(1, samId, 1);
    EXPECT_EQ(std::string(samId, 27), std::string("05.01-20101203-0008323712\0 ", 27));
    EXPECT_EQ(samId[49], ' ');

    std::uint8_t scratch1[8];
    std::uint8_t scratch2[8];
    std::vector<std::uint8_t> text(521, 0xEE);
    std::vector<std::uint8_t> photo(1201);
    std::uint32_t textLength = 0;
    std::uint32_t photoLength = 0;
    EXPECT_EQ(library.SDT_OpenPort(1002), kSdtOk);
    EXPECT_EQ(library.SDT_StartFindIDCard(1002, scratch1, 0), kSdtCardFound);
    EXPECT_EQ(library.SDT_SelectIDCard(1002, scratch2, 0), kSdtOk);
    EXPECT_EQ(
        library.SDT_ReadBaseMsg(1002, text.data(), &textLength, photo.data(), &photoLength, 0),
        kSdtOk);
    EXPECT_EQ(library.SDT_ClosePort(1002), kSdtOk);
    ASSERT_EQ(textLength, 6u);
    EXPECT_EQ(std::vector<std::uint8_t>(text.begin(), text.begin() + 7),
              (std::vector<std::uint8_t>{0x20, 0x5F, 0x09, 0x4E, 0x20, 0x00, 0xEE}));

    EXPECT_EQ(Calls(),
              "SDT_GetSAMIDToStr port=1 ifOpen=1 -> 144 samid=05.01-20101203-0008323712\r\n"
              "SDT_OpenPort port=1002 -> 144\r\n"
              "SDT_StartFindIDCard port=1002 ifOpen=0 -> 159\r\n"
              "SDT_SelectIDCard port=1002 ifOpen=0 -> 144\r\n"
              "SDT_ReadBaseMsg port=1002 textLen=0 photoLen=0 ifOpen=0 -> 144 textLen=6 "
              "photoLen=1024\r\n"
              "SDT_ClosePort port=1002 -> 144\r\n");

    // The card taken away: no longer found.
    WriteState("samid=05.01-20101203-0008323712\n");
    ASSERT_EQ(library.SDT_OpenPort(1002), kSdtOk);
    EXPECT_EQ(library.SDT_StartFindIDCard(1002, scratch1, 0), 128);
    EXPECT_NE(library.SDT_SelectIDCard(1002, scratch2, 0), kSdtOk);
    library.SDT_ClosePort(1002);
}

// A library built without stripping the decoration exports "_Name@N" or "Name@N" (this one
// has three of each).
TEST_F(CardReaderLibraryWin32Test, DecoratedExportNamesAreFoundToo) {
#ifdef _WIN64
    GTEST_SKIP() << "a 64-bit library has no __stdcall decoration to find";
#endif
    WriteState("samid=05.01\ncard=hex:204E\n");
    CardReaderLibraryWin32 library(GetExecutableLocation().folder, u"sdtapi_decorated.dll");
    ASSERT_TRUE(library.Load());
    char samId[50];
    std::uint8_t scratch[8];
    std::uint8_t text[521] = {};
    std::uint8_t photo[1201];
    std::uint32_t textLength = 0;
    std::uint32_t photoLength = 0;
    EXPECT_EQ(library.SDT_GetSAMIDToStr(1, samId, 1), kSdtOk);
    EXPECT_EQ(library.SDT_OpenPort(1), kSdtOk);
    EXPECT_EQ(library.SDT_StartFindIDCard(1, scratch, 0), kSdtCardFound);
    EXPECT_EQ(library.SDT_SelectIDCard(1, scratch, 0), kSdtOk);
    EXPECT_EQ(library.SDT_ReadBaseMsg(1, text, &textLength, photo, &photoLength, 0), kSdtOk);
    EXPECT_EQ(library.SDT_ClosePort(1), kSdtOk);
    EXPECT_EQ(textLength, 2u);
    EXPECT_EQ(text[1], 0x4E);
}

TEST_F(CardReaderLibraryWin32Test, WithoutTheLibraryEveryCallFailsSafely) {
    CardReaderLibraryWin32 missing(GetExecutableLocation().folder, u"ordane_no_such_sdtapi.dll");
    EXPECT_FALSE(missing.Load());
    // A library that lacks the functions (kernel32 has none of them) is no card library.
    CardReaderLibraryWin32 wrong(GetExecutableLocation().folder, u"kernel32.dll");
    EXPECT_FALSE(wrong.Load());

    // A file that is no library for this processor.
    const std::wstring damagedFile = BesideProgram(L"ordane_damaged_sdtapi.dll");
    HANDLE file =
        CreateFileW(damagedFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, "MZ not really a program", 23, &written, nullptr);
    CloseHandle(file);
    CardReaderLibraryWin32 damaged(GetExecutableLocation().folder, u"ordane_damaged_sdtapi.dll");
    EXPECT_FALSE(damaged.Load());
    DeleteFileW(damagedFile.c_str());

    for (CardReaderLibraryWin32* library : {&missing, &wrong, &damaged}) {
        char samId[50];
        std::memset(samId, ' ', sizeof samId);
        std::uint8_t scratch[8] = {};
        std::uint8_t text[521] = {};
        std::uint8_t photo[1201] = {};
        std::uint32_t textLength = 0;
        std::uint32_t photoLength = 0;
        const std::int32_t statuses[] = {
            library->SDT_OpenPort(1),
            library->SDT_StartFindIDCard(1, scratch, 0),
            library->SDT_SelectIDCard(1, scratch, 0),
            library->SDT_ReadBaseMsg(1, text, &textLength, photo, &photoLength, 0),
            library->SDT_GetSAMIDToStr(1, samId, 1),
            library->SDT_ClosePort(1),
        };
        for (std::int32_t status : statuses) {
            EXPECT_NE(status, kSdtOk);
            EXPECT_NE(status, kSdtCardFound);
        }
        EXPECT_EQ(std::string(samId, 50), std::string(50, ' '));
        EXPECT_EQ(textLength, 0u);
    }
    EXPECT_EQ(Calls(), "");
}

// A maker's layout: the library in the system folder, the libraries it imports beside the
// program.
TEST_F(CardReaderLibraryWin32Test, LibraryInTheSystemFolderFindsItsHelpersBesideTheProgram) {
    WriteState("samid=05.01\n");
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_GT(length, 0u);
    const std::wstring installed =
        std::wstring(system, length) + L"\\ordane_sdtapi_with_helper.dll";
    ASSERT_TRUE(CopyFileW(BesideProgram(L"elsewhere\\sdtapi_with_helper.dll").c_str(),
                          installed.c_str(), FALSE));
    bool loaded = false;
    std::int32_t status = 0;
    {
        CardReaderLibraryWin32 library(GetExecutableLocation().folder,
                                       u"ordane_sdtapi_with_helper.dll");
        loaded = library.Load();
        char samId[50];
        status = library.SDT_GetSAMIDToStr(1, samId, 1);
    }
    DeleteFileW(installed.c_str());
    EXPECT_TRUE(loaded);
    EXPECT_EQ(status, kSdtOk);
}

TEST_F(CardReaderLibraryWin32Test, CopyInTheCurrentFolderOrOnThePathIsNeverLoaded) {
    // The simulated library beside this program, planted under a name found nowhere else.
    const std::wstring planted = dir_.Wide() + L"\\ordane_planted_sdtapi.dll";
    ASSERT_TRUE(CopyFileW(BesideProgram(L"sdtapi.dll").c_str(), planted.c_str(), FALSE));

    wchar_t previousFolder[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previousFolder);
    std::vector<wchar_t> previousPath(32768);
    GetEnvironmentVariableW(L"PATH", previousPath.data(), 32768);
    SetCurrentDirectoryW(dir_.Wide().c_str());
    SetEnvironmentVariableW(L"PATH", (dir_.Wide() + L";" + previousPath.data()).c_str());

    CardReaderLibraryWin32 library(GetExecutableLocation().folder, u"ordane_planted_sdtapi.dll");
    const bool loaded = library.Load();

    SetCurrentDirectoryW(previousFolder);
    SetEnvironmentVariableW(L"PATH", previousPath.data());
    EXPECT_FALSE(loaded);
}

}  // namespace
}  // namespace ordane
