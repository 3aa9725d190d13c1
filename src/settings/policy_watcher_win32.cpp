#include "settings/policy_watcher_win32.h"

namespace ordane {

PolicyWatcherWin32::PolicyWatcherWin32(HWND window, UINT message)
    : changed_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!changed_.Valid() || !stop_.Valid() ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies", 0, KEY_NOTIFY, key_.Receive()) !=
            ERROR_SUCCESS) {
        key_.Release();  // what a failed open left there is no key
        return;          // nothing to watch: the values read at start stay
    }
    thread_ = std::thread([this, window, message] { Watch(window, message); });
}

PolicyWatcherWin32::~PolicyWatcherWin32() {
    if (thread_.joinable()) {
        SetEvent(stop_.Get());
        thread_.join();
    }
}

// Armed again after each change, from this thread, which outlives every request it made.
void PolicyWatcherWin32::Watch(HWND window, UINT message) {
    constexpr DWORD kWhat = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
    const HANDLE events[] = {stop_.Get(), changed_.Get()};
    while (RegNotifyChangeKeyValue(key_.Get(), TRUE, kWhat, changed_.Get(), TRUE) ==
               ERROR_SUCCESS &&
           WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        // Group policy writes its values one by one: one message once the writing settled.
        while (WaitForSingleObject(stop_.Get(), 500) == WAIT_TIMEOUT &&
               RegNotifyChangeKeyValue(key_.Get(), TRUE, kWhat, changed_.Get(), TRUE) ==
                   ERROR_SUCCESS &&
               WaitForSingleObject(changed_.Get(), 0) == WAIT_OBJECT_0) {
        }
        PostMessageW(window, message, 0, 0);
    }
}

}  // namespace ordane
