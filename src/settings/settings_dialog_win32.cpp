#include "settings/settings_dialog_win32.h"

#include <algorithm>

#include "common/dpi_win32.h"
#include "common/wide_win32.h"

namespace ordane {

namespace {

constexpr wchar_t kClassName[] = L"OrdaneSettingsDialog";
constexpr wchar_t kCaption[] = L"串口通讯设置";
constexpr wchar_t kMessageTitle[] = L"Ordane";
constexpr int kClientWidthTwips = 4845;
constexpr int kClientHeightTwips = 3450;
// A drop-down list's window also spans its open list; the closed field keeps the font's height.
constexpr int kDropDownRows = 9;
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;

enum class Kind { Frame, Label, List, Check, Command };

struct Layout {
    Kind kind;
    int number;                    // Label6, Check4, Frame1 ...; the list's index for lists
    int frame;                     // 0: on the dialog; 1, 2: position relative to Frame1 / Frame2
    int left, top, width, height;  // twips
    const wchar_t* caption;
};

constexpr int kFrame1Left = 60, kFrame1Top = 120;
constexpr int kFrame2Left = 60, kFrame2Top = 2040;

// In tab order; a title check box comes before its frame so that it is drawn over the frame's
// top edge.
constexpr Layout kLayout[] = {
    {Kind::Check, 4, 0, 240, 60, 1995, 315, L"使用条码扫描仪"},
    {Kind::Frame, 1, 0, kFrame1Left, kFrame1Top, 4515, 1815, L""},
    {Kind::Label, 6, 1, 180, 360, 480, 240, L"品牌"},
    {Kind::List, 0, 1, 668, 300, 1414, 294, nullptr},  // cbModel
    {Kind::Label, 1, 1, 180, 720, 480, 240, L"端口"},
    {Kind::List, 1, 1, 668, 660, 1414, 300, nullptr},  // cbPort
    {Kind::Label, 2, 1, 120, 1080, 540, 240, L"波特率"},
    {Kind::List, 2, 1, 668, 1020, 1414, 300, nullptr},  // cbBaudRate
    {Kind::Label, 4, 1, 2235, 345, 780, 240, L"数据位"},
    {Kind::List, 3, 1, 3020, 300, 1386, 300, nullptr},  // cbByteSize
    {Kind::Label, 5, 1, 2235, 720, 780, 240, L"停止位"},
    {Kind::List, 4, 1, 3020, 660, 1386, 300, nullptr},  // cbStopBits
    {Kind::Label, 3, 1, 2235, 1080, 780, 240, L"奇偶校验"},
    {Kind::List, 5, 1, 3020, 1020, 1386, 300, nullptr},  // cbParity
    {Kind::Check, 1, 1, 660, 1440, 1395, 238, L"加回车"},
    {Kind::Check, 2, 1, 2280, 1380, 1335, 315, L"自动启动"},
    {Kind::Check, 3, 0, 240, 1980, 2055, 315, L"使用二代证读卡器"},
    {Kind::Frame, 2, 0, kFrame2Left, kFrame2Top, 4515, 735, L""},
    {Kind::Label, 8, 2, 180, 360, 470, 240, L"品牌"},
    {Kind::List, 6, 2, 660, 300, 1395, 300, nullptr},  // cmCardModel
    {Kind::Label, 7, 2, 2280, 360, 700, 240, L"端口"},
    {Kind::List, 7, 2, 3000, 300, 1350, 300, nullptr},  // cbPort2
    {Kind::Command, 1, 0, 1920, 2940, 1134, 350, L"确定"},
    {Kind::Command, 2, 0, 3180, 2940, 1022, 350, L"取消"},
};

// Position and size in twips on the dialog's client area.
RECT TwipsRect(const Layout& l) {
    int left = l.left;
    int top = l.top;
    if (l.frame == 1) {
        left += kFrame1Left;
        top += kFrame1Top;
    } else if (l.frame == 2) {
        left += kFrame2Left;
        top += kFrame2Top;
    }
    const int height = l.kind == Kind::List ? l.height * kDropDownRows : l.height;
    return {left, top, l.width, height};  // right and bottom hold width and height
}

int ControlId(const Layout& l) {
    switch (l.kind) {
        case Kind::Frame:
            return SettingsDialogWin32::kFrameBase + l.number;
        case Kind::Label:
            return SettingsDialogWin32::kLabelBase + l.number;
        case Kind::List:
            return SettingsDialogWin32::kListBase + l.number;
        case Kind::Check:
            return SettingsDialogWin32::kCheckBase + l.number;
        case Kind::Command:
            return SettingsDialogWin32::kCommandBase + l.number;
    }
    return 0;
}

}  // namespace

SettingsDialogWin32::SettingsDialogWin32(HINSTANCE instance) : instance_(instance) {}

SettingsDialogWin32::~SettingsDialogWin32() {
    Unload();
}

void SettingsDialogWin32::Unload() {
    if (modal_) {
        modal_ = false;
        if (disabledOwner_ != nullptr) {
            EnableWindow(disabledOwner_, TRUE);
            disabledOwner_ = nullptr;
        }
    }
    window_.Reset();
    for (auto& entries : shownEntries_) {
        entries.clear();
    }
}

bool SettingsDialogWin32::Create(HWND owner) {
    if (window_.Valid()) {
        return true;
    }
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &SettingsDialogWin32::WindowProc;
    wc.hInstance = instance_;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);  // fails harmlessly when already registered

    dpi_ = WindowDpi(owner);
    RECT frame = {0, 0, TwipsToPixels(kClientWidthTwips), TwipsToPixels(kClientHeightTwips)};
    AdjustRectForDpi(frame, kStyle, WS_EX_DLGMODALFRAME, dpi_);
    HWND hwnd = CreateWindowExW(WS_EX_DLGMODALFRAME, kClassName, kCaption, kStyle, CW_USEDEFAULT,
                                CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                                owner, nullptr, instance_, this);
    if (hwnd == nullptr) {
        return false;
    }
    window_.Reset(hwnd);
    CreateControls();
    if (const int dpi = WindowDpi(hwnd); dpi != dpi_) {
        ApplyDpi(dpi, nullptr);
    }
    Refresh();
    return true;
}

void SettingsDialogWin32::ApplyDpi(int dpi, const RECT* suggested) {
    dpi_ = dpi;
    UniqueFont font(CreateLayoutFont(dpi_));  // the old one goes once no control holds it
    for (const Layout& l : kLayout) {
        const RECT r = TwipsRect(l);
        HWND control = Item(ControlId(l));
        SetWindowPos(control, nullptr, TwipsToPixels(r.left), TwipsToPixels(r.top),
                     TwipsToPixels(r.right), TwipsToPixels(r.bottom),
                     SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.Get()), TRUE);
    }
    font_ = std::move(font);
    RECT now;
    GetWindowRect(window_.Get(), &now);
    const int x = suggested != nullptr ? suggested->left : now.left;
    const int y = suggested != nullptr ? suggested->top : now.top;
    PlaceWithClientSize(window_.Get(), x, y, TwipsToPixels(kClientWidthTwips),
                        TwipsToPixels(kClientHeightTwips), kStyle, WS_EX_DLGMODALFRAME, dpi_);
    InvalidateRect(window_.Get(), nullptr, TRUE);
}

void SettingsDialogWin32::CreateControls() {
    font_.Reset(CreateLayoutFont(dpi_));

    for (const Layout& l : kLayout) {
        const RECT r = TwipsRect(l);
        const wchar_t* className = L"BUTTON";
        DWORD style = WS_CHILD | WS_VISIBLE;
        switch (l.kind) {
            case Kind::Frame:
                // Drawn under the controls and the title check box on its edge.
                style |= BS_GROUPBOX | WS_CLIPSIBLINGS;
                break;
            case Kind::Label:
                className = L"STATIC";
                style |= SS_LEFT;
                break;
            case Kind::List:
                className = L"COMBOBOX";
                style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
                break;
            case Kind::Check:
                // Three states so that a stored 2 shows greyed; FrmSet decides what a click does.
                style |= BS_3STATE | WS_TABSTOP;
                break;
            case Kind::Command:
                style |= BS_PUSHBUTTON | WS_TABSTOP;
                break;
        }
        HWND control = AddControl(className, l.caption == nullptr ? L"" : l.caption, style,
                                  ControlId(l), r.left, r.top, r.right, r.bottom);
        if (control != nullptr && l.kind == Kind::Check && l.frame == 0) {
            SetWindowPos(control, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        }
    }
}

HWND SettingsDialogWin32::AddControl(const wchar_t* className, const wchar_t* caption, DWORD style,
                                     int id, int left, int top, int width, int height) {
    HWND control =
        CreateWindowExW(0, className, caption, style, TwipsToPixels(left), TwipsToPixels(top),
                        TwipsToPixels(width), TwipsToPixels(height), window_.Get(),
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    if (control != nullptr) {
        HFONT font =
            font_.Valid() ? font_.Get() : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    return control;
}

void SettingsDialogWin32::Refresh() {
    if (!window_.Valid() || form_ == nullptr) {
        return;
    }
    for (int i = 0; i < kSettingsListCount; ++i) {
        const auto list = static_cast<SettingsList>(i);
        const DropDownList& model = form_->List(list);
        HWND control = Item(kListBase + i);
        auto& shown = shownEntries_[static_cast<std::size_t>(i)];
        if (shown != model.entries) {
            SendMessageW(control, CB_RESETCONTENT, 0, 0);
            for (const Text& entry : model.entries) {
                SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(entry)));
            }
            shown = model.entries;
        }
        if (SendMessageW(control, CB_GETCURSEL, 0, 0) != model.ListIndex) {
            SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(model.ListIndex), 0);
        }
        EnableWindow(control, form_->ListUsable(list));
    }
    for (int n = 1; n <= 4; ++n) {
        HWND control = Item(kCheckBase + n);
        const auto state = static_cast<WPARAM>(form_->Check(n));
        if (static_cast<WPARAM>(SendMessageW(control, BM_GETCHECK, 0, 0)) != state) {
            SendMessageW(control, BM_SETCHECK, state, 0);
        }
        EnableWindow(control, form_->CheckUsable(n));
    }
    // A disabled frame greys its box and labels; its title check box stays usable.
    const bool frame1 = form_->Frame1Enabled();
    const bool frame2 = form_->Frame2Enabled();
    EnableWindow(Item(kFrameBase + 1), frame1);
    EnableWindow(Item(kFrameBase + 2), frame2);
    for (const Layout& l : kLayout) {
        if (l.kind == Kind::Label) {
            EnableWindow(Item(ControlId(l)), l.frame == 1 ? frame1 : frame2);
        }
    }
    EnableWindow(Item(kCommandBase + 1), form_->Command1Enabled());
    KeepFocusUsable();
}

void SettingsDialogWin32::KeepFocusUsable() {
    HWND focus = GetFocus();
    if (focus == nullptr || GetParent(focus) != window_.Get() || IsWindowEnabled(focus)) {
        return;
    }
    HWND next = GetNextDlgTabItem(window_.Get(), focus, FALSE);
    SetFocus(next != nullptr ? next : window_.Get());
}

void SettingsDialogWin32::CentreOver(HWND owner) {
    RECT dialog;
    GetWindowRect(window_.Get(), &dialog);
    const int width = dialog.right - dialog.left;
    const int height = dialog.bottom - dialog.top;
    RECT work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT over = work;
    if (owner != nullptr) {
        GetWindowRect(owner, &over);
    }
    int x = over.left + (over.right - over.left - width) / 2;
    int y = over.top + (over.bottom - over.top - height) / 2;
    // Stay on the screen even when the owner sits at its edge.
    x = std::max(static_cast<int>(work.left), std::min(x, static_cast<int>(work.right) - width));
    y = std::max(static_cast<int>(work.top), std::min(y, static_cast<int>(work.bottom) - height));
    SetWindowPos(window_.Get(), nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SettingsDialogWin32::ShowModal(void* owner) {
    HWND ownerWindow = static_cast<HWND>(owner);
    if (!Create(ownerWindow) || modal_) {
        return;
    }
    HWND hwnd = window_.Get();
    if (reinterpret_cast<HWND>(GetWindowLongPtrW(hwnd, GWLP_HWNDPARENT)) != ownerWindow) {
        SetWindowLongPtrW(hwnd, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(ownerWindow));
    }
    CentreOver(ownerWindow);
    Refresh();
    modal_ = true;
    if (ownerWindow != nullptr && IsWindowEnabled(ownerWindow)) {
        EnableWindow(ownerWindow, FALSE);
        disabledOwner_ = ownerWindow;
    }
    ShowWindow(hwnd, SW_SHOW);
    SetForegroundWindow(hwnd);
    if (HWND first = GetNextDlgTabItem(hwnd, nullptr, FALSE); first != nullptr) {
        SetFocus(first);
    }

    // The owner's timers keep ticking: this loop dispatches every message of the thread.
    MSG msg;
    while (modal_) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(static_cast<int>(msg.wParam));  // for the outer loop
            break;
        }
        if (got == -1) {
            break;
        }
        if (!window_.Valid() || !IsDialogMessageW(window_.Get(), &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    modal_ = false;
    if (disabledOwner_ != nullptr) {
        EnableWindow(disabledOwner_, TRUE);
        disabledOwner_ = nullptr;
    }
}

void SettingsDialogWin32::Hide() {
    if (!window_.Valid()) {
        modal_ = false;
        return;
    }
    // Re-enable the owner before hiding, so that it, not another program, becomes active.
    if (disabledOwner_ != nullptr) {
        EnableWindow(disabledOwner_, TRUE);
        disabledOwner_ = nullptr;
    }
    modal_ = false;
    ShowWindow(window_.Get(), SW_HIDE);
}

void SettingsDialogWin32::ShowMessage(const Text& text) {
    MessageBoxW(window_.Get(), Wide(text), kMessageTitle, MB_OK);
}

LRESULT CALLBACK SettingsDialogWin32::WindowProc(HWND hwnd, UINT msg, WPARAM wParam,
                                                 LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<SettingsDialogWin32*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    return self->HandleMessage(hwnd, msg, wParam, lParam);
}

LRESULT SettingsDialogWin32::HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_COMMAND:
            if (lParam != 0) {  // from a control, not a menu or accelerator
                OnCommand(LOWORD(wParam), HIWORD(wParam));
            }
            return 0;
        case WM_DPICHANGED:
            if (window_.Get() == hwnd) {
                ApplyDpi(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
            }
            return 0;
        case WM_CLOSE:
            if (form_ != nullptr) {
                form_->OnTitleBarClose();
            }
            return 0;  // hidden, not destroyed: the controls keep their state
        case WM_NCDESTROY:
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            if (window_.Get() == hwnd) {
                (void)window_.Release();  // already being destroyed
                modal_ = false;
            }
            break;
        default:
            break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void SettingsDialogWin32::OnCommand(int id, int code) {
    if (form_ == nullptr) {
        return;
    }
    if (id >= kListBase && id < kListBase + kSettingsListCount) {
        if (code == CBN_SELCHANGE) {
            const auto index = static_cast<int>(SendMessageW(Item(id), CB_GETCURSEL, 0, 0));
            form_->OnListSelect(static_cast<SettingsList>(id - kListBase), index);
        }
        return;
    }
    if (code != BN_CLICKED) {
        return;
    }
    if (id > kCheckBase && id <= kCheckBase + 4) {
        form_->OnCheckClick(id - kCheckBase);
    } else if (id == kCommandBase + 1) {
        form_->Command1_Click();
    } else if (id == kCommandBase + 2) {
        form_->Command2_Click();
    }
}

}  // namespace ordane
