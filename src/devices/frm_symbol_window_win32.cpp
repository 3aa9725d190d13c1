#include "devices/frm_symbol_window_win32.h"

namespace ordane {

namespace {

constexpr wchar_t kClassName[] = L"OrdaneSymbolWindow";
constexpr wchar_t kCaption[] = L"Symbol读取窗体";

// What the hook forces to be global: the procedure the window had before it.
WNDPROC g_savedProc = nullptr;

}  // namespace

FrmSymbolWindow::FrmSymbolWindow(HINSTANCE instance, FrmSymbol& frmSymbol, Unpack unpack)
    : instance_(instance), frmSymbol_(frmSymbol), unpack_(std::move(unpack)) {}

FrmSymbolWindow::~FrmSymbolWindow() {
    Unload();
}

bool FrmSymbolWindow::Load() {
    if (hwnd_ != nullptr) {
        return true;
    }
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &FrmSymbolWindow::WindowProc;
    wc.hInstance = instance_;
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);
    hwnd_ = CreateWindowExW(WS_EX_TOOLWINDOW, kClassName, kCaption, WS_OVERLAPPED, 0, 0, 100, 100,
                            nullptr, nullptr, instance_, nullptr);
    if (hwnd_ == nullptr) {
        return false;
    }
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    g_savedProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FrmSymbolWindow::SymbolWindowHook)));
    frmSymbol_.AttachWindow(reinterpret_cast<WindowHandle>(hwnd_));
    return true;
}

void FrmSymbolWindow::Unload() {
    if (hwnd_ == nullptr) {
        return;
    }
    if (g_savedProc != nullptr) {
        SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_savedProc));
        g_savedProc = nullptr;
    }
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
    hwnd_ = nullptr;
}

LRESULT CALLBACK FrmSymbolWindow::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK FrmSymbolWindow::SymbolWindowHook(HWND hwnd, UINT msg, WPARAM wParam,
                                                   LPARAM lParam) {
    auto* self = reinterpret_cast<FrmSymbolWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if ((msg == kSymbolDataMessage || msg == kSymbolVersionMessage || msg == kSymbolLostMessage) &&
        self != nullptr) {
        const std::int32_t n = self->unpack_(msg, wParam, lParam);
        self->frmSymbol_.SymbolWindowHook(msg, n);
    }
    return CallWindowProcW(g_savedProc != nullptr ? g_savedProc : &FrmSymbolWindow::WindowProc,
                           hwnd, msg, wParam, lParam);
}

}  // namespace ordane
