#include "devices/frm_symbol_window_win32.h"

#include <commctrl.h>

#include "common/message_window_win32.h"

namespace ordane {

namespace {

constexpr wchar_t kClassName[] = L"OrdaneSymbolWindow";
constexpr wchar_t kCaption[] = L"Symbol读取窗体";

// The hook's id on the window; the object it forwards to is its reference data.
constexpr UINT_PTR kSymbolHookId = 1;

}  // namespace

FrmSymbolWindow::FrmSymbolWindow(HINSTANCE instance, FrmSymbol& frmSymbol, Unpack unpack)
    : instance_(instance), frmSymbol_(frmSymbol), unpack_(std::move(unpack)) {}

FrmSymbolWindow::~FrmSymbolWindow() {
    Unload();
}

bool FrmSymbolWindow::Load() {
    if (hwnd_.Valid()) {
        return true;
    }
    RegisterMessageWindowClass(instance_, kClassName, &FrmSymbolWindow::WindowProc);
    hwnd_.Reset(CreateWindowExW(WS_EX_TOOLWINDOW, kClassName, kCaption, WS_OVERLAPPED, 0, 0, 100,
                                100, nullptr, nullptr, instance_, nullptr));
    if (!hwnd_.Valid()) {
        return false;
    }
    SetWindowSubclass(hwnd_.Get(), &FrmSymbolWindow::SymbolWindowHook, kSymbolHookId,
                      reinterpret_cast<DWORD_PTR>(this));
    frmSymbol_.AttachWindow(reinterpret_cast<WindowHandle>(hwnd_.Get()));
    return true;
}

void FrmSymbolWindow::Unload() {
    if (!hwnd_.Valid()) {
        return;
    }
    RemoveWindowSubclass(hwnd_.Get(), &FrmSymbolWindow::SymbolWindowHook, kSymbolHookId);
    hwnd_.Reset();
}

LRESULT CALLBACK FrmSymbolWindow::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK FrmSymbolWindow::SymbolWindowHook(HWND hwnd, UINT msg, WPARAM wParam,
                                                   LPARAM lParam, UINT_PTR, DWORD_PTR data) {
    auto* self = reinterpret_cast<FrmSymbolWindow*>(data);
    if ((msg == kSymbolDataMessage || msg == kSymbolVersionMessage || msg == kSymbolLostMessage) &&
        self != nullptr) {
        const std::int32_t n = self->unpack_(msg, wParam, lParam);
        self->frmSymbol_.SymbolWindowHook(msg, n);
    }
    return DefSubclassProc(hwnd, msg, wParam, lParam);
}

}  // namespace ordane
