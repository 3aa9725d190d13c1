// What the tray icon hands to the shell: this program's import of Shell_NotifyIconA is pointed
// at a recorder, so every call is seen exactly as the shell would receive it.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/ansi_codec_win32.h"
#include "desktop/shell_icon_win32.h"

namespace ordane {
namespace {

std::vector<std::pair<DWORD, NOTIFYICONDATAA>> g_calls;

BOOL WINAPI RecordNotify(DWORD message, PNOTIFYICONDATAA record) {
    NOTIFYICONDATAA copy{};
    std::memcpy(&copy, record, std::min<std::size_t>(record->cbSize, sizeof copy));
    g_calls.emplace_back(message, copy);
    return TRUE;
}

// Sets this program's import slot of `function` to `replacement`.
bool PatchImport(const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         dll->Name != 0; ++dll) {
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                std::strcmp(
                    reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData)->Name,
                    function) != 0) {
                continue;
            }
            DWORD old = 0;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &old);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, old, &old);
            return true;
        }
    }
    return false;
}

TEST(TrayIconWin32Test, RegistersItsCallbackIconAndTipAndComesBackAfterExplorerRestarts) {
    ASSERT_TRUE(PatchImport("Shell_NotifyIconA", reinterpret_cast<void*>(&RecordNotify)));
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
    windowClass.lpszClassName = L"OrdaneTrayTestWindow";
    ASSERT_NE(RegisterClassW(&windowClass), 0);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", WS_POPUP, 0, 0, 10, 10,
                                  nullptr, nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    const UINT required = NIF_MESSAGE | NIF_ICON;
    AnsiCodecWin32 codec;
    {
        ShellIcon icon(window, codec);
        icon.AddTrayIcon();
        icon.SetTrayTip(u"Ordane");
        ASSERT_EQ(g_calls.size(), 2u);
        const NOTIFYICONDATAA& added = g_calls[0].second;
        EXPECT_EQ(g_calls[0].first, static_cast<DWORD>(NIM_ADD));
        EXPECT_EQ(added.cbSize, 88u);  // the first-version record: 64 bytes of tip
        EXPECT_EQ(added.hWnd, window);
        EXPECT_EQ(added.uFlags & required, required);
        EXPECT_EQ(added.uCallbackMessage, 2025u);
        EXPECT_EQ(added.hIcon, windowClass.hIcon);
        const NOTIFYICONDATAA& tip = g_calls[1].second;
        EXPECT_EQ(tip.uFlags & NIF_TIP, static_cast<UINT>(NIF_TIP));
        EXPECT_EQ(std::string(tip.szTip, 64),
                  "Ordane" + std::string(1, '\0') + std::string(57, ' '));

        // Explorer restarted: the icon is added again with everything it carries.
        SendMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
        ASSERT_EQ(g_calls.back().first, static_cast<DWORD>(NIM_ADD));
        const NOTIFYICONDATAA& again = g_calls.back().second;
        EXPECT_EQ(again.uFlags & (required | NIF_TIP), required | NIF_TIP);
        EXPECT_EQ(again.uCallbackMessage, 2025u);
        EXPECT_EQ(again.hIcon, windowClass.hIcon);
        EXPECT_STREQ(again.szTip, "Ordane");

        // A left click on the icon shows the hidden window.
        SendMessageW(window, 2025, 0, WM_LBUTTONUP);
        EXPECT_TRUE(IsWindowVisible(window));
        ShowWindow(window, SW_HIDE);

        icon.RemoveTrayIcon();  // as the main window's unload does at exit
        EXPECT_EQ(g_calls.back().first, static_cast<DWORD>(NIM_DELETE));
        EXPECT_EQ(g_calls.back().second.hWnd, window);
        EXPECT_EQ(g_calls.back().second.uID, added.uID);
        // The window procedure is its own again: the icon's message does nothing.
        SendMessageW(window, 2025, 0, WM_LBUTTONUP);
        EXPECT_FALSE(IsWindowVisible(window));
    }
    DestroyWindow(window);
}

}  // namespace
}  // namespace ordane
