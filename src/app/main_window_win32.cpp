#include "app/main_window_win32.h"

#include <iterator>
#include <utility>

#include "app/frm_main.h"
#include "app/loop_timers.h"
#include "app/status_texts.h"
#include "common/dpi_win32.h"
#include "common/wide_win32.h"
#include "resource_ids.h"

namespace ordane {

namespace {

constexpr wchar_t kClassName[] = L"OrdaneMainWindow";
constexpr int kClientWidthTwips = 6795;
constexpr int kClientHeightTwips = 4335;
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

enum class Look { Highlight, Blue, Red, ActiveTitle };

struct LabelLayout {
    int label;
    int left, top, width, height;  // twips
    Look look;
    bool centred;
    const wchar_t* caption;  // commands only
};

constexpr LabelLayout kLabels[] = {
    {3, 3660, 120, 1515, 240, Look::Highlight, false, L""},
    {7, 3660, 420, 1515, 255, Look::Highlight, false, L""},
    {10, 5220, 120, 1515, 255, Look::Highlight, false, L""},
    {11, 5220, 420, 1515, 255, Look::Highlight, false, L""},
    {1, 420, 1560, 5835, 180, Look::Blue, true, L""},
    {2, 600, 1800, 5445, 300, Look::Red, true, L""},
    {12, 420, 2280, 5835, 195, Look::ActiveTitle, true, L""},
    {13, 600, 2580, 5475, 255, Look::Red, true, L""},
    {5, 4800, 4020, 435, 210, Look::Blue, false, L"设置"},
    {4, 5400, 4020, 435, 225, Look::Blue, false, L"隐藏"},
    {6, 6000, 4020, 375, 195, Look::Blue, false, L"退出"},
};

bool IsCommand(int label) {
    return label >= 4 && label <= 6;
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance) : instance_(instance) {}

MainWindow::~MainWindow() {
    frmMain_ = nullptr;  // the logic may be gone already: no unload handler from here
    hwnd_.Reset();
}

bool MainWindow::Create() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &MainWindow::WindowProc;
    wc.hInstance = instance_;
    wc.hIcon = LoadIconW(instance_, MAKEINTRESOURCEW(IDI_ORDANE));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);

    // Centred on the primary work area at the system DPI; a window that opens on a monitor of
    // another DPI is laid out again for it at once.
    dpi_ = WindowDpi(nullptr);
    RECT frame = {0, 0, TwipsToPixels(kClientWidthTwips), TwipsToPixels(kClientHeightTwips)};
    AdjustRectForDpi(frame, kStyle, 0, dpi_);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    RECT work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.left + (work.right - work.left - width) / 2;
    const int y = work.top + (work.bottom - work.top - height) / 2;

    // The owner takes the window at WM_NCCREATE, before its first message is handled.
    if (CreateWindowExW(0, kClassName, Wide(status::kMainCaption), kStyle, x, y, width, height,
                        nullptr, nullptr, instance_, this) == nullptr) {
        return false;
    }
    background_.Reset(static_cast<HBITMAP>(
        LoadImageW(instance_, MAKEINTRESOURCEW(IDB_BACKGROUND), IMAGE_BITMAP, 0, 0, 0)));
    CreateControls();
    if (const int dpi = WindowDpi(hwnd_.Get()); dpi != dpi_) {
        ApplyDpi(dpi, nullptr);
    }
    return true;
}

void MainWindow::CreateControls() {
    font_.Reset(CreateLayoutFont(dpi_));
    for (const LabelLayout& l : kLabels) {
        DWORD style = WS_CHILD | WS_VISIBLE | (l.centred ? SS_CENTER : SS_LEFT);
        if (IsCommand(l.label)) {
            style |= SS_NOTIFY;
        }
        HWND label = CreateWindowExW(
            0, L"STATIC", l.caption, style, TwipsToPixels(l.left), TwipsToPixels(l.top),
            TwipsToPixels(l.width), TwipsToPixels(l.height), hwnd_.Get(),
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(1000 + l.label)), instance_, nullptr);
        SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);
    }
}

void MainWindow::ApplyDpi(int dpi, const RECT* suggested) {
    dpi_ = dpi;
    UniqueFont old = std::move(font_);
    font_.Reset(CreateLayoutFont(dpi_));
    for (const LabelLayout& l : kLabels) {
        HWND label = Label(l.label);
        SetWindowPos(label, nullptr, TwipsToPixels(l.left), TwipsToPixels(l.top),
                     TwipsToPixels(l.width), TwipsToPixels(l.height),
                     SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);
    }
    old.Reset();  // no label holds it any more
    // The client area keeps its size in twips, at the suggested corner where Windows gives one
    // (it keeps the window under the pointer while it is dragged across monitors).
    RECT now;
    GetWindowRect(hwnd_.Get(), &now);
    const int x = suggested != nullptr ? suggested->left : now.left;
    const int y = suggested != nullptr ? suggested->top : now.top;
    PlaceWithClientSize(hwnd_.Get(), x, y, TwipsToPixels(kClientWidthTwips),
                        TwipsToPixels(kClientHeightTwips), kStyle, 0, dpi_);
    InvalidateRect(hwnd_.Get(), nullptr, TRUE);
}

COLORREF MainWindow::LabelColour(int label) const {
    for (const LabelLayout& l : kLabels) {
        if (l.label != label) {
            continue;
        }
        switch (l.look) {
            case Look::Highlight:
                return GetSysColor(COLOR_HIGHLIGHT);
            case Look::Red:
                return kRed;
            case Look::ActiveTitle:
                return GetSysColor(COLOR_ACTIVECAPTION);
            case Look::Blue:
                return kBlue;
        }
    }
    return GetSysColor(COLOR_WINDOWTEXT);
}

void MainWindow::PaintBackground(HDC dc) {
    RECT client;
    GetClientRect(hwnd_.Get(), &client);
    FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
    if (!background_.Valid()) {
        return;
    }
    const UniqueMemoryDc memory(CreateCompatibleDC(dc));
    HGDIOBJ old = SelectObject(memory.Get(), background_.Get());
    BITMAP bm = {};
    GetObjectW(background_.Get(), sizeof bm, &bm);
    // Smooth at 125 % and 150 %; at 200 % every pixel becomes an even square all the same.
    SetStretchBltMode(dc, HALFTONE);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchBlt(dc, 0, 0, client.right, client.bottom, memory.Get(), 0, 0, bm.bmWidth, bm.bmHeight,
               SRCCOPY);
    SelectObject(memory.Get(), old);  // the bitmap outlives the context
}

LRESULT CALLBACK MainWindow::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    MainWindow* self = nullptr;
    if (msg == WM_NCCREATE) {
        self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->hwnd_.Reset(hwnd);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    if (self == nullptr ||
        (self->frmMain_ == nullptr && msg != WM_ERASEBKGND && msg != WM_DPICHANGED)) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    return self->HandleMessage(hwnd, msg, wParam, lParam);
}

LRESULT MainWindow::HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_ERASEBKGND:
            PaintBackground(reinterpret_cast<HDC>(wParam));
            return 1;
        case WM_DPICHANGED:
            ApplyDpi(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_CTLCOLORSTATIC: {
            HDC dc = reinterpret_cast<HDC>(wParam);
            const int label = GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) - 1000;
            SetTextColor(dc, LabelColour(label));
            SetBkMode(dc, TRANSPARENT);
            return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
        }
        case WM_SETCURSOR: {
            const int label = GetDlgCtrlID(reinterpret_cast<HWND>(wParam)) - 1000;
            if (IsCommand(label)) {
                SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32649)));  // IDC_HAND
                return TRUE;
            }
            break;
        }
        case WM_COMMAND:
            if (HIWORD(wParam) == STN_CLICKED) {
                const int label = static_cast<int>(LOWORD(wParam)) - 1000;
                if (IsCommand(label)) {
                    frmMain_->OnCommandClick(label);
                }
                return 0;
            }
            break;
        case WM_TIMER:
            frmMain_->OnTimer(static_cast<int>(wParam));
            return 0;
        case kCardReadMessage:
            frmMain_->OnCardRead();
            return 0;
        case kScanTerminatedMessage:
            frmMain_->OnScanTerminated();
            return 0;
        case kTypedMessage:
            frmMain_->OnTyped();
            return 0;
        case kPolicyChangedMessage:
            frmMain_->OnPolicyChanged();
            return 0;
        case kRegisteredMessage:
            frmMain_->OnRegistered();
            return 0;
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN: {
            // Keys pressed with Alt come as system keys; the handler sees them all the same.
            const int shift = (GetKeyState(VK_SHIFT) < 0 ? 1 : 0) |
                              (GetKeyState(VK_CONTROL) < 0 ? 2 : 0) |
                              (GetKeyState(VK_MENU) < 0 ? 4 : 0);
            frmMain_->Form_KeyDown(static_cast<int>(wParam), shift);
            if (msg == WM_KEYDOWN) {
                return 0;
            }
            break;  // Alt keys keep their system meaning (Alt+F4, the window menu)
        }
        case WM_CLOSE:
            if (!unloading_) {
                frmMain_->OnCloseRequested();
            }
            return 0;
        case WM_QUERYENDSESSION:
            return TRUE;  // nothing to ask the clerk: the end is handled as Exit
        case WM_ENDSESSION:
            // The process ends when this returns: the program ends here, as Exit ends it.
            if (wParam != FALSE) {
                frmMain_->OnSessionEnding();
                if (sessionEnded_) {
                    sessionEnded_();
                }
            }
            return 0;
        case WM_DESTROY:
            KillTimer(hwnd, kScannerTimerId);
            KillTimer(hwnd, kCardReaderTimerId);
            frmMain_->Form_Unload();
            PostQuitMessage(0);
            return 0;
        case WM_NCDESTROY:
            hwnd_.Release();  // destroyed by Windows, or by the owner that let go of it already
            break;
        default:
            break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void MainWindow::SetLabelText(int label, const Text& text) {
    HWND control = Label(label);
    if (control == nullptr) {
        return;
    }
    SetWindowTextW(control, Wide(text));
    // The labels are transparent: repaint the picture behind the old text.
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, hwnd_.Get(), reinterpret_cast<POINT*>(&rect), 2);
    InvalidateRect(hwnd_.Get(), &rect, TRUE);
}

void MainWindow::SetCommandEnabled(int label, bool enabled) {
    if (HWND control = Label(label)) {
        EnableWindow(control, enabled ? TRUE : FALSE);
    }
}

void MainWindow::ShowWindow(Activation activation) {
    ::ShowWindow(hwnd_.Get(), activation == Activation::Activate ? SW_SHOW : SW_SHOWNA);
}

void MainWindow::HideWindow() {
    ::ShowWindow(hwnd_.Get(), SW_HIDE);
}

bool MainWindow::IsWindowVisible() {
    return ::IsWindowVisible(hwnd_.Get()) != FALSE;
}

void MainWindow::Beep() {
    MessageBeep(MB_OK);
}

void MainWindow::UnloadAll() {
    unloading_ = true;
    // The main window first: its unload handler still closes the scanner channel, which may
    // be the Symbol window's link.
    hwnd_.Reset();
    if (unloadOthers_) {
        unloadOthers_();
    }
}

void MainWindow::StartTimer(int id, std::uint32_t intervalMs) {
    SetTimer(hwnd_.Get(), static_cast<UINT_PTR>(id), intervalMs, nullptr);
}

void MainWindow::StopTimer(int id) {
    KillTimer(hwnd_.Get(), static_cast<UINT_PTR>(id));
}

}  // namespace ordane
