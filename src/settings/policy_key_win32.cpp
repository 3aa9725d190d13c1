#include "settings/policy_key_win32.h"

#include <algorithm>

#include <windows.h>

#include <aclapi.h>

#include "common/handle_win32.h"
#include "common/wide_win32.h"

namespace ordane {

namespace {

constexpr char kPolicyKey[] = "SOFTWARE\\Policies\\Ordane";

}  // namespace

bool PolicyKeyWin32::Exists() {
    UniqueRegKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_READ, key.Receive()) ==
           ERROR_SUCCESS;
}

std::string PolicyKeyWin32::Read(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) {
    const std::string subkey = std::string(kPolicyKey) + "\\" + section;
    DWORD number = 0;
    DWORD size = sizeof(number);
    if (RegGetValueA(HKEY_LOCAL_MACHINE, subkey.c_str(), key.c_str(), RRF_RT_REG_DWORD, nullptr,
                     &number, &size) == ERROR_SUCCESS) {
        return std::to_string(number);
    }
    // A list (Origins) may be written as a multi-string, as group policy editors offer it: its
    // strings are read as separated by spaces.
    constexpr DWORD kTextTypes = RRF_RT_REG_SZ | RRF_RT_REG_MULTI_SZ;
    size = 0;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, subkey.c_str(), key.c_str(), kTextTypes, nullptr, nullptr,
                     &size) != ERROR_SUCCESS ||
        size == 0) {
        return defaultValue;
    }
    std::string value(size, '\0');
    if (RegGetValueA(HKEY_LOCAL_MACHINE, subkey.c_str(), key.c_str(), kTextTypes, nullptr,
                     value.data(), &size) != ERROR_SUCCESS) {
        return defaultValue;
    }
    value.resize(size);
    while (!value.empty() && value.back() == '\0') {
        value.pop_back();  // the terminating NULs
    }
    std::replace(value.begin(), value.end(), '\0', ' ');
    return value;
}

bool FolderOwnedByCurrentUser(const Text& folder) {
    UniqueHandle handle(CreateFileW(Wide(folder), READ_CONTROL,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    HANDLE raw = nullptr;
    if (!handle.Valid() || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return false;
    }
    const UniqueHandle token(raw);
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    if (!GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size)) {
        return false;
    }
    PSID owner = nullptr;
    LocalMemory descriptor;
    if (GetSecurityInfo(handle.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr,
                        descriptor.Receive<PSECURITY_DESCRIPTOR>()) != ERROR_SUCCESS) {
        return false;
    }
    return EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != FALSE;
}

}  // namespace ordane
