// fake_target: the business application as the monitor sees it, recording what it receives.
//
//   fake_target.exe TEXT_LOG KEY_LOG [--title T] [--ready FILE] [--events FILE]
//                   [--stall-settext MS] [--controls] [--drop-faster MS] [--mark-packets]
//
// The top-level window (title "EC79BF23-6763-4120-8143-A5FF53C87FEB" unless --title) has as
// its first child a window that appends every text it is given (WM_SETTEXT) to TEXT_LOG, one
// line each, UTF-8, with \ CR LF written as \\ \r \n. The second child is an edit control
// holding the keyboard focus; every character it receives is appended to KEY_LOG as UTF-8,
// a carriage return as "<ENTER>" when it came from the Enter key and "<CR>" otherwise, Tab,
// Escape and Backspace as "<TAB>", "<ESC>", "<BACK>" when they came from their keys, other
// control characters as "<0xNN>". Both logs are written at once, unbuffered.
//
// --ready FILE receives "pid hwnd" once the window has the focus. --events FILE records
// commands, keys and tray messages reaching the top-level window. WM_APP+1 takes the
// foreground and focus back. --controls adds a command label (1005, SS_NOTIFY), a disabled
// label (1006), a check box (1101), a button (1201) and a list (1403), for testing the tools.
// --drop-faster MS drops (neither logs nor shows) a character that came less than MS after the
// one before it, by the input's own time, as a slow remote desktop or web page does.
// --mark-packets logs "<P>" before a character that came as a Unicode key packet (VK_PACKET)
// rather than as a real key press.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "utf8_win32.h"

namespace {

constexpr UINT kRefocusMessage = WM_APP + 1;
constexpr UINT kTrayMessage = 2025;
constexpr int kEditKeeps = 4096;  // characters
constexpr wchar_t kDefaultTitle[] = L"EC79BF23-6763-4120-8143-A5FF53C87FEB";

class LogFile {
  public:
    LogFile() = default;
    explicit LogFile(const std::wstring& path)
        : h_(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~LogFile() {
        if (Open()) {
            CloseHandle(h_);
        }
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    LogFile(LogFile&& other) noexcept : h_(other.h_) { other.h_ = INVALID_HANDLE_VALUE; }
    LogFile& operator=(LogFile&& other) noexcept {
        std::swap(h_, other.h_);
        return *this;
    }
    bool Open() const { return h_ != INVALID_HANDLE_VALUE; }
    void Write(const std::string& bytes) {
        if (!Open() || bytes.empty()) {
            return;
        }
        DWORD written = 0;
        WriteFile(h_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }

  private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

struct Options {
    std::wstring textLog;
    std::wstring keyLog;
    std::wstring title = kDefaultTitle;
    std::wstring readyFile;
    std::wstring eventsFile;
    bool controls = false;
    DWORD stallMs = 0;
    DWORD dropFasterMs = 0;
    bool markPackets = false;
};

class FakeTarget {
  public:
    explicit FakeTarget(const Options& options)
        : options_(options),
          textLog_(options.textLog),
          keyLog_(options.keyLog),
          events_(options.eventsFile.empty() ? LogFile() : LogFile(options.eventsFile)) {}
    FakeTarget(const FakeTarget&) = delete;
    FakeTarget& operator=(const FakeTarget&) = delete;

    bool Create(HINSTANCE instance);
    void TakeFocus();
    void WriteReady();

    static LRESULT CALLBACK MainProc(HWND h, UINT msg, WPARAM wp, LPARAM lp);
    static LRESULT CALLBACK TextProc(HWND h, UINT msg, WPARAM wp, LPARAM lp);
    static LRESULT CALLBACK EditProc(HWND h, UINT msg, WPARAM wp, LPARAM lp);

  private:
    LRESULT OnMain(HWND h, UINT msg, WPARAM wp, LPARAM lp);
    void OnText(const wchar_t* text);
    LRESULT OnEdit(HWND h, UINT msg, WPARAM wp, LPARAM lp);
    void Event(const std::string& line) { events_.Write(line + "\n"); }
    void AddControls(HINSTANCE instance);

    Options options_;
    LogFile textLog_;
    LogFile keyLog_;
    LogFile events_;
    HWND main_ = nullptr;
    HWND edit_ = nullptr;
    WNDPROC editDefault_ = nullptr;
    WPARAM lastKeyDown_ = 0;
    bool haveLastChar_ = false;
    DWORD lastCharAt_ = 0;
    wchar_t pendingHigh_ = 0;
};

// The character a key types, named when it came from that key and not as a character.
const char* KeyName(wchar_t c, WPARAM keyDown) {
    if (c == L'\t' && keyDown == VK_TAB) {
        return "<TAB>";
    }
    if (c == 0x1B && keyDown == VK_ESCAPE) {
        return "<ESC>";
    }
    if (c == L'\b' && keyDown == VK_BACK) {
        return "<BACK>";
    }
    return nullptr;
}

FakeTarget* FromWindow(HWND h) {
    return reinterpret_cast<FakeTarget*>(GetWindowLongPtrW(h, GWLP_USERDATA));
}

void Attach(HWND h, LPARAM createLp) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(createLp);
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
}

LRESULT CALLBACK FakeTarget::MainProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        Attach(h, lp);
    }
    FakeTarget* self = FromWindow(h);
    return self ? self->OnMain(h, msg, wp, lp) : DefWindowProcW(h, msg, wp, lp);
}

LRESULT CALLBACK FakeTarget::TextProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        Attach(h, lp);
    }
    FakeTarget* self = FromWindow(h);
    if (self != nullptr && msg == WM_SETTEXT && lp != 0) {
        self->OnText(reinterpret_cast<const wchar_t*>(lp));
    }
    return DefWindowProcW(h, msg, wp, lp);
}

LRESULT CALLBACK FakeTarget::EditProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    return FromWindow(h)->OnEdit(h, msg, wp, lp);
}

LRESULT FakeTarget::OnMain(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_ACTIVATE:
            if (LOWORD(wp) != WA_INACTIVE && edit_ != nullptr) {
                SetFocus(edit_);
                return 0;
            }
            break;
        case WM_SETFOCUS:
            if (edit_ != nullptr) {
                SetFocus(edit_);
            }
            return 0;
        case kRefocusMessage:
            TakeFocus();
            return 0;
        case WM_COMMAND:
            if (reinterpret_cast<HWND>(lp) == edit_) {
                break;  // the edit's own focus and change notices
            }
            Event("command " + std::to_string(LOWORD(wp)) + " " + std::to_string(HIWORD(wp)));
            return 0;
        case WM_KEYDOWN:
            Event("keydown " + std::to_string(wp));
            return 0;
        case kTrayMessage:
            Event("tray " + std::to_string(wp) + " " + std::to_string(lp));
            return 0;
        case WM_CLOSE:
            DestroyWindow(h);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(h, msg, wp, lp);
}

void FakeTarget::OnText(const wchar_t* text) {
    std::wstring line;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        switch (*p) {
            case L'\\':
                line += L"\\\\";
                break;
            case L'\r':
                line += L"\\r";
                break;
            case L'\n':
                line += L"\\n";
                break;
            default:
                line += *p;
        }
    }
    textLog_.Write(ToUtf8(line) + "\n");
    if (options_.stallMs > 0) {
        Sleep(options_.stallMs);  // a hung application, as the monitor may meet one
    }
}

LRESULT FakeTarget::OnEdit(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_KEYDOWN) {
        lastKeyDown_ = wp;
    } else if (msg == WM_CHAR) {
        auto c = static_cast<wchar_t>(wp);
        const auto at = static_cast<DWORD>(GetMessageTime());
        if (options_.dropFasterMs > 0) {
            const bool tooSoon = haveLastChar_ && at - lastCharAt_ < options_.dropFasterMs;
            haveLastChar_ = true;
            lastCharAt_ = at;
            if (tooSoon) {
                return 0;
            }
        }
        std::string token;
        if (c >= 0xD800 && c < 0xDC00) {
            pendingHigh_ = c;
        } else if (c >= 0xDC00 && c < 0xE000 && pendingHigh_ != 0) {
            token = ToUtf8(std::wstring{pendingHigh_, c});
            pendingHigh_ = 0;
        } else if (c == L'\r') {
            token = lastKeyDown_ == VK_RETURN ? "<ENTER>" : "<CR>";
        } else if (const char* key = KeyName(c, lastKeyDown_)) {
            token = key;
        } else if (c < 0x20 || c == 0x7F) {
            char buf[16];
            std::snprintf(buf, sizeof(buf), "<0x%02X>", static_cast<unsigned>(c));
            token = buf;
        } else {
            token = ToUtf8(std::wstring(1, c));
        }
        if (options_.markPackets && lastKeyDown_ == VK_PACKET && !token.empty()) {
            token = "<P>" + token;
        }
        keyLog_.Write(token);
        if (c == L'\r') {
            // The log is the record. A long run would otherwise fill the edit to its limit,
            // and every character after makes it measure all it holds.
            if (GetWindowTextLengthW(h) > kEditKeeps) {
                SetWindowTextW(h, L"");
            }
            return 0;  // a single-line edit would only beep
        }
    }
    return CallWindowProcW(editDefault_, h, msg, wp, lp);
}

void FakeTarget::AddControls(HINSTANCE instance) {
    struct Spec {
        const wchar_t* cls;
        const wchar_t* text;
        DWORD style;
        int id;
        int x, y, w, h;
    };
    const Spec specs[] = {
        {L"STATIC", L"命令", SS_NOTIFY, 1005, 10, 70, 60, 20},
        {L"STATIC", L"禁用", SS_NOTIFY | WS_DISABLED, 1006, 80, 70, 60, 20},
        {L"BUTTON", L"加回车", BS_AUTOCHECKBOX, 1101, 10, 95, 100, 20},
        {L"BUTTON", L"确定", BS_PUSHBUTTON, 1201, 120, 95, 60, 22},
        {L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL, 1403, 10, 125, 120, 120},
    };
    for (const Spec& s : specs) {
        CreateWindowExW(0, s.cls, s.text, WS_CHILD | WS_VISIBLE | s.style, s.x, s.y, s.w, s.h,
                        main_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(s.id)), instance,
                        nullptr);
    }
    HWND combo = GetDlgItem(main_, 1403);
    for (const wchar_t* entry : {L"无校验", L"奇校验", L"偶校验"}) {
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
    }
    SendMessageW(combo, CB_SETCURSEL, 0, 0);
}

bool FakeTarget::Create(HINSTANCE instance) {
    WNDCLASSEXW mainClass{};
    mainClass.cbSize = sizeof(mainClass);
    mainClass.lpfnWndProc = MainProc;
    mainClass.hInstance = instance;
    mainClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    mainClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    mainClass.lpszClassName = L"OrdaneFakeTarget";
    WNDCLASSEXW textClass = mainClass;
    textClass.lpfnWndProc = TextProc;
    textClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    textClass.lpszClassName = L"OrdaneFakeTargetText";
    if (!RegisterClassExW(&mainClass) || !RegisterClassExW(&textClass)) {
        return false;
    }
    main_ = CreateWindowExW(0, mainClass.lpszClassName, options_.title.c_str(), WS_OVERLAPPEDWINDOW,
                            40, 420, 360, 220, nullptr, nullptr, instance, this);
    if (main_ == nullptr) {
        return false;
    }
    // Created first, so that it is the first child in the system's order.
    CreateWindowExW(WS_EX_CLIENTEDGE, textClass.lpszClassName, L"", WS_CHILD | WS_VISIBLE, 10, 10,
                    330, 24, main_, nullptr, instance, this);
    edit_ = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, 10, 40, 330, 24,
                            main_, nullptr, instance, nullptr);
    if (edit_ == nullptr) {
        return false;
    }
    SetWindowLongPtrW(edit_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    editDefault_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(edit_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(EditProc)));
    if (options_.controls) {
        AddControls(instance);
    }
    ShowWindow(main_, SW_SHOWNORMAL);
    UpdateWindow(main_);
    TakeFocus();
    return true;
}

void FakeTarget::TakeFocus() {
    SetForegroundWindow(main_);
    SetActiveWindow(main_);
    if (edit_ != nullptr) {
        SetFocus(edit_);
    }
}

void FakeTarget::WriteReady() {
    if (options_.readyFile.empty()) {
        return;
    }
    // Written under another name and renamed, so that a reader never sees half of it.
    std::wstring partial = options_.readyFile + L".part";
    {
        LogFile ready(partial);
        ready.Write(std::to_string(GetCurrentProcessId()) + " " +
                    std::to_string(reinterpret_cast<std::uintptr_t>(main_)) + "\n");
    }
    MoveFileExW(partial.c_str(), options_.readyFile.c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool ParseOptions(int argc, wchar_t** argv, Options& o) {
    std::vector<std::wstring> positional;
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == L"--title" && hasValue) {
            o.title = argv[++i];
        } else if (a == L"--ready" && hasValue) {
            o.readyFile = argv[++i];
        } else if (a == L"--events" && hasValue) {
            o.eventsFile = argv[++i];
        } else if (a == L"--stall-settext" && hasValue) {
            o.stallMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
        } else if (a == L"--drop-faster" && hasValue) {
            o.dropFasterMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
        } else if (a == L"--mark-packets") {
            o.markPackets = true;
        } else if (a == L"--controls") {
            o.controls = true;
        } else if (a.rfind(L"--", 0) == 0) {
            return false;
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2) {
        return false;
    }
    o.textLog = positional[0];
    o.keyLog = positional[1];
    return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    Options options;
    if (!ParseOptions(__argc, __wargv, options)) {
        return 2;  // usage: see the top of this file
    }
    FakeTarget target(options);
    if (!target.Create(instance)) {
        return 1;
    }
    target.WriteReady();
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
