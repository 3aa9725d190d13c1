#include "app/single_instance_win32.h"

#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>

namespace ordane {

std::wstring SingleInstanceName(const Text& executablePath) {
    // Backslashes would name a kernel namespace; the path itself names the instance.
    std::wstring path(executablePath.begin(), executablePath.end());
    std::replace(path.begin(), path.end(), L'\\', L'/');
    CharLowerBuffW(path.data(), static_cast<DWORD>(path.size()));
    std::wstring name = L"Local\\Ordane:" + path;
    if (name.size() >= MAX_PATH) {
        // Object names are limited to MAX_PATH: a deep folder is named by its hash.
        name = L"Local\\Ordane:" + std::to_wstring(std::hash<std::wstring>{}(path));
    }
    return name;
}

SingleInstance::SingleInstance(const Text& executablePath) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, SingleInstanceName(executablePath).c_str());
    const DWORD error = GetLastError();
    mutex_.Reset(mutex);
    // A mutex this process may not open belongs to an instance running elevated or as another
    // user on this session: that one runs too.
    alreadyRunning_ = mutex_.Valid() ? error == ERROR_ALREADY_EXISTS : error == ERROR_ACCESS_DENIED;
}

}  // namespace ordane
