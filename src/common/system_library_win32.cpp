#include "common/system_library_win32.h"

#include <cstring>
#include <string>

namespace ordane {

void RestrictLibrarySearch(const wchar_t* const* preload, int count) {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    // kernel32 is always loaded; the function is there from Windows 8 on, and on Windows 7
    // with KB2533623.
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const FARPROC address =
        kernel == nullptr ? nullptr : GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (address != nullptr) {
        SetDefaultDllDirectoriesFn restrict = nullptr;
        static_assert(sizeof(address) == sizeof(restrict));
        std::memcpy(&restrict, &address, sizeof(restrict));
        restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
    } else {
        SetDllDirectoryW(L"");  // at least not the current folder
    }
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        // Kept loaded for the life of the process, as an import would be.
        LoadLibraryExW((std::wstring(system) + L"\\" + preload[i]).c_str(), nullptr,
                       LOAD_WITH_ALTERED_SEARCH_PATH);
    }
}

}  // namespace ordane
