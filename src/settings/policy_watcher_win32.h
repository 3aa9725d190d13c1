// Tells the main window when something under HKLM\SOFTWARE\Policies changes (a group policy
// refresh, an administrator's edit): RegNotifyChangeKeyValue on a thread of its own, which posts
// `message` to `window`. The Ordane key may not exist yet, so the whole Policies key is watched;
// the window reads the values again and decides.
#pragma once

#include <windows.h>

#include <thread>

#include "common/handle_win32.h"

namespace ordane {

class PolicyWatcherWin32 {
  public:
    PolicyWatcherWin32(HWND window, UINT message);
    ~PolicyWatcherWin32();
    PolicyWatcherWin32(const PolicyWatcherWin32&) = delete;
    PolicyWatcherWin32& operator=(const PolicyWatcherWin32&) = delete;

  private:
    void Watch(HWND window, UINT message);

    UniqueRegKey key_;
    UniqueHandle changed_;
    UniqueHandle stop_;
    std::thread thread_;
};

}  // namespace ordane
