#include "common/registry_win32.h"

#include <windows.h>

#include <vector>

#include "common/handle_win32.h"

namespace ordane {

namespace {

// One open key; closed when the object goes.
class RegistryKeyWin32 final : public RegistryKey {
  public:
    explicit RegistryKeyWin32(HKEY key) : key_(key) {}

    std::optional<std::uint32_t> QueryValueSize(const std::string& name) override;
    std::optional<std::string> QueryValue(const std::string& name) override;
    bool SetString(const std::string& name, const std::string& data) override;
    bool DeleteValue(const std::string& name) override;

  private:
    UniqueRegKey key_;
};

std::optional<std::uint32_t> RegistryKeyWin32::QueryValueSize(const std::string& name) {
    DWORD type = REG_SZ;
    DWORD size = 0;
    if (RegQueryValueExA(key_.Get(), name.c_str(), nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return size;
}

std::optional<std::string> RegistryKeyWin32::QueryValue(const std::string& name) {
    // The value may change between asking for its size and reading it: ask again then.
    DWORD size = 0;
    if (RegQueryValueExA(key_.Get(), name.c_str(), nullptr, nullptr, nullptr, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::string data(size, '\0');
        DWORD type = 0;
        const LONG result = RegQueryValueExA(key_.Get(), name.c_str(), nullptr, &type,
                                             reinterpret_cast<BYTE*>(data.data()), &size);
        if (result == ERROR_SUCCESS) {
            // The size an ANSI query reports up front can exceed what it then returns.
            data.resize(size);
            return data;
        }
        if (result != ERROR_MORE_DATA) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

bool RegistryKeyWin32::SetString(const std::string& name, const std::string& data) {
    // RegSetValueExA counts one byte more when the byte after the data is a NUL (a fix-up for
    // callers that forgot the terminator, which Windows NT and Wine both make). The copy ends
    // in a non-zero guard byte, so the value holds exactly the bytes given.
    std::vector<BYTE> guarded(data.begin(), data.end());
    guarded.push_back(1);
    return RegSetValueExA(key_.Get(), name.c_str(), 0, REG_SZ, guarded.data(),
                          static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

bool RegistryKeyWin32::DeleteValue(const std::string& name) {
    const LONG result = RegDeleteValueA(key_.Get(), name.c_str());
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

}  // namespace

std::unique_ptr<RegistryKey> RegistryWin32::CreateKey(const std::string& path) {
    const HKEY root = hive_ == RegistryHive::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    HKEY key = nullptr;
    const LONG result = RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr);
    if (result == ERROR_SUCCESS) {
        return std::make_unique<RegistryKeyWin32>(key);
    }
    // A standard user may read the machine's keys but not change them: reading still tells
    // the truth, and each change then reports its refusal.
    if (result == ERROR_ACCESS_DENIED &&
        RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        return std::make_unique<RegistryKeyWin32>(key);
    }
    return nullptr;
}

}  // namespace ordane
