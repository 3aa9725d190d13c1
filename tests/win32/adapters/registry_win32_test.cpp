#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "common/registry_win32.h"

namespace ordane {
namespace {

class RegistryWin32Test : public ::testing::Test {
  protected:
    void TearDown() override {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path_.c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\OrdaneAdapterTest");
    }
    const std::string path_ =
        "Software\\OrdaneAdapterTest\\Run" + std::to_string(GetCurrentProcessId());
};

TEST_F(RegistryWin32Test, CreatesKeyAndRoundTripsValues) {
    RegistryWin32 registry;
    auto key = registry.CreateKey(path_);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->QueryValueSize("upload"), std::nullopt);
    EXPECT_EQ(key->QueryValue("upload"), std::nullopt);

    // The flag is the single byte "1", no terminating NUL.
    key->SetString("upload", "1");
    EXPECT_EQ(key->QueryValue("upload"), std::optional<std::string>("1"));
    ASSERT_TRUE(key->QueryValueSize("upload").has_value());
    EXPECT_GT(*key->QueryValueSize("upload"), 0u);
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_ALL_ACCESS, &raw),
              ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExW(raw, L"upload", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, sizeof(wchar_t));  // one character, nothing after it

    // "1" with its NUL, as another tool writes it, comes back byte for byte.
    ASSERT_EQ(RegSetValueExA(raw, "upload", 0, REG_SZ, reinterpret_cast<const BYTE*>("1"), 2),
              ERROR_SUCCESS);
    RegCloseKey(raw);
    EXPECT_EQ(key->QueryValue("upload"), std::optional<std::string>(std::string("1\0", 2)));

    // An auto-start path in the ANSI code page (D:\工具\app.exe).
    const std::string path = "D:\\\xB9\xA4\xBE\xDF\\app.exe";
    EXPECT_TRUE(key->SetString("Velmar", path));
    key.reset();
    auto reopened = registry.CreateKey(path_);
    ASSERT_NE(reopened, nullptr);
    EXPECT_EQ(reopened->QueryValue("Velmar"), std::optional<std::string>(path));

    EXPECT_TRUE(reopened->DeleteValue("Velmar"));
    EXPECT_EQ(reopened->QueryValueSize("Velmar"), std::nullopt);
    EXPECT_TRUE(reopened->DeleteValue("Velmar"));  // already gone: as wanted
    EXPECT_EQ(reopened->QueryValue("upload"), std::optional<std::string>(std::string("1\0", 2)));
    reopened->DeleteValue("upload");
}

}  // namespace
}  // namespace ordane
