// grant_users.exe: run by the installer (as administrator) so that Ordane, running under a
// standard user's account, can still write what it must write:
//   grant_users.exe file <path>     Users may read and change this file (Setting.ini)
//   grant_users.exe key <subkey>    the key under HKEY_LOCAL_MACHINE exists (in the registry
//                                   view Ordane sees: grant_users is built 32- or 64-bit as it
//                                   is) and Users may read and set its values
// Exit code 0 when done; otherwise the Win32 error code of the step that failed.
#include <windows.h>

#include <aclapi.h>

#include <cwchar>
#include <string>

namespace {

// BUILTIN\Users by its well-known SID, so that localised group names do not matter.
class UsersSid {
  public:
    UsersSid() {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS,
                                      0, 0, 0, 0, 0, 0, &sid_)) {
            error_ = GetLastError();
        }
    }
    ~UsersSid() {
        if (sid_ != nullptr) {
            FreeSid(sid_);
        }
    }
    UsersSid(const UsersSid&) = delete;
    UsersSid& operator=(const UsersSid&) = delete;
    PSID Get() const { return sid_; }
    DWORD Error() const { return error_; }

  private:
    PSID sid_ = nullptr;
    DWORD error_ = ERROR_SUCCESS;
};

// The object's present DACL with an allow entry for Users added (SetSecurityInfo on handle).
DWORD GrantUsers(HANDLE object, SE_OBJECT_TYPE type, DWORD rights, DWORD inheritance) {
    UsersSid users;
    if (users.Get() == nullptr) {
        return users.Error();
    }
    PACL oldDacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD result = GetSecurityInfo(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                   &oldDacl, nullptr, &descriptor);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    EXPLICIT_ACCESSW access = {};
    access.grfAccessPermissions = rights;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = inheritance;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(users.Get());
    PACL newDacl = nullptr;
    result = SetEntriesInAclW(1, &access, oldDacl, &newDacl);
    if (result == ERROR_SUCCESS) {
        result = SetSecurityInfo(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr, newDacl,
                                 nullptr);
        LocalFree(newDacl);
    }
    LocalFree(descriptor);
    return result;
}

DWORD GrantFile(const wchar_t* path) {
    HANDLE file = CreateFileW(path, READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    const DWORD result =
        GrantUsers(file, SE_FILE_OBJECT, FILE_GENERIC_READ | FILE_GENERIC_WRITE, NO_INHERITANCE);
    CloseHandle(file);
    return result;
}

#ifdef _WIN64
constexpr REGSAM kOrdaneView = KEY_WOW64_64KEY;
#else
constexpr REGSAM kOrdaneView = KEY_WOW64_32KEY;
#endif

DWORD GrantKey(const wchar_t* subkey) {
    HKEY key = nullptr;
    const LONG created =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        READ_CONTROL | WRITE_DAC | kOrdaneView, nullptr, &key, nullptr);
    if (created != ERROR_SUCCESS) {
        return static_cast<DWORD>(created);
    }
    const DWORD result =
        GrantUsers(key, SE_REGISTRY_KEY, KEY_READ | KEY_SET_VALUE, CONTAINER_INHERIT_ACE);
    RegCloseKey(key);
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return ERROR_BAD_ARGUMENTS;
    }
    if (std::wcscmp(argv[1], L"file") == 0) {
        return static_cast<int>(GrantFile(argv[2]));
    }
    if (std::wcscmp(argv[1], L"key") == 0) {
        return static_cast<int>(GrantKey(argv[2]));
    }
    return ERROR_BAD_ARGUMENTS;
}
