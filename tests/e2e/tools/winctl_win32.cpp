// winctl: reads and drives the windows of other programs in the Wine prefix, for the
// end-to-end tests. It also opens COM ports, makes HTTP requests and touches the registry in
// the view of its own bitness (built as Ordane.exe is), all as the program under test would see
// them, and reports a program's handle count and memory.
//
//   winctl.exe COMMAND [--option value ...] [; COMMAND ...]
//   winctl.exe --server       one command per line on stdin, words split like a shell would
//                             (double quotes group, and inside them \" \\ \n \r \t escape)
//
// Every command answers zero or more record lines, each "|" followed by TAB-separated fields,
// then one line "OK" or "ERR<TAB>message". Fields escape \\ \t \n \r with a backslash. All
// output is UTF-8, written as bytes so that what a window holds arrives exactly.
//
// A top-level window is selected with --hwnd H, or with any of --title T (exact, whole
// title), --class C, --exe S (S inside the owning program's path, letter case ignored) and
// --pid N; the first match in Z order is taken. --id N then names a descendant control.

#include <windows.h>
#include <shellapi.h>
#include <wininet.h>
#include <psapi.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <memory>
#include <vector>

#include "utf8_win32.h"

namespace {

// ---------------------------------------------------------------------------------------
// Handles

template <typename Traits>
class Unique {
  public:
    using Type = typename Traits::Type;
    Unique() = default;
    explicit Unique(Type h) : h_(h) {}
    ~Unique() { Reset(); }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Type Get() const { return h_; }
    explicit operator bool() const { return Traits::Valid(h_); }
    void Reset() {
        if (Traits::Valid(h_)) {
            Traits::Close(h_);
        }
        h_ = Traits::Invalid();
    }

  private:
    Type h_ = Traits::Invalid();
};

struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static bool Valid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};
struct InternetTraits {
    using Type = HINTERNET;
    static Type Invalid() { return nullptr; }
    static bool Valid(Type h) { return h != nullptr; }
    static void Close(Type h) { InternetCloseHandle(h); }
};
struct RegKeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static bool Valid(Type h) { return h != nullptr; }
    static void Close(Type h) { RegCloseKey(h); }
};
using KernelHandle = Unique<KernelHandleTraits>;
using InternetHandle = Unique<InternetTraits>;
using RegKey = Unique<RegKeyTraits>;
// A LocalAlloc'ed block (security descriptors, ACLs), freed with LocalFree.
struct LocalTraits {
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    static bool Valid(Type h) { return h != nullptr; }
    static void Close(Type h) { LocalFree(h); }
};
using LocalBlock = Unique<LocalTraits>;

// ---------------------------------------------------------------------------------------
// Text

std::wstring Escape(const std::wstring& s) {
    std::wstring out;
    for (wchar_t c : s) {
        switch (c) {
            case L'\\':
                out += L"\\\\";
                break;
            case L'\t':
                out += L"\\t";
                break;
            case L'\n':
                out += L"\\n";
                break;
            case L'\r':
                out += L"\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::wstring Hex(std::uint64_t v) {
    wchar_t buf[32];
    swprintf(buf, 32, L"0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

std::wstring Dec(long long v) {
    return std::to_wstring(v);
}

std::wstring HexBytes(const std::vector<std::uint8_t>& bytes) {
    static const wchar_t* digits = L"0123456789abcdef";
    std::wstring out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<std::uint8_t> ParseHexBytes(const std::wstring& s) {
    std::vector<std::uint8_t> out;
    int high = -1;
    for (wchar_t c : s) {
        int v;
        if (c >= L'0' && c <= L'9') {
            v = c - L'0';
        } else if (c >= L'a' && c <= L'f') {
            v = c - L'a' + 10;
        } else if (c >= L'A' && c <= L'F') {
            v = c - L'A' + 10;
        } else if (c == L' ' || c == L':') {
            continue;
        } else {
            throw std::runtime_error("bad hex byte string");
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) {
        throw std::runtime_error("odd number of hex digits");
    }
    return out;
}

std::string ErrorText(const char* what, DWORD code) {
    return std::string(what) + " failed, error " + std::to_string(code);
}

// ---------------------------------------------------------------------------------------
// Output: one buffer per command, written as bytes.

class Output {
  public:
    void Record(std::initializer_list<std::wstring> fields) {
        std::vector<std::wstring> v(fields);
        Record(v);
    }
    void Record(const std::vector<std::wstring>& fields) {
        std::wstring line = L"|";
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (i > 0) {
                line += L'\t';
            }
            line += Escape(fields[i]);
        }
        buffer_ += ToUtf8(line) + "\n";
    }
    void Finish(const std::string& error) {
        if (error.empty()) {
            buffer_ += "OK\n";
        } else {
            buffer_ += "ERR\t" + ToUtf8(Escape(FromUtf8(error))) + "\n";
        }
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        const char* p = buffer_.data();
        std::size_t left = buffer_.size();
        while (left > 0) {
            DWORD written = 0;
            if (!WriteFile(out, p, static_cast<DWORD>(left), &written, nullptr) || written == 0) {
                break;
            }
            p += written;
            left -= written;
        }
        buffer_.clear();
    }

  private:
    std::string buffer_;
};

// ---------------------------------------------------------------------------------------
// Arguments

const std::set<std::wstring> kFlags = {L"--first-child",  L"--wmgettext", L"--client", L"--all",
                                       L"--visible-only", L"--undo",      L"--remove"};

class Args {
  public:
    explicit Args(const std::vector<std::wstring>& words) {
        for (std::size_t i = 0; i < words.size(); ++i) {
            const std::wstring& w = words[i];
            if (w.size() > 2 && w.rfind(L"--", 0) == 0) {
                if (kFlags.count(w) != 0) {
                    options_[w] = L"1";
                } else if (i + 1 < words.size()) {
                    options_[w] = words[++i];
                } else {
                    throw std::runtime_error("option " + ToUtf8(w) + " needs a value");
                }
            } else {
                positional_.push_back(w);
            }
        }
    }
    bool Has(const std::wstring& name) const { return options_.count(name) != 0; }
    std::wstring Str(const std::wstring& name) const {
        auto it = options_.find(name);
        if (it == options_.end()) {
            throw std::runtime_error("missing option " + ToUtf8(name));
        }
        return it->second;
    }
    std::wstring Str(const std::wstring& name, const std::wstring& fallback) const {
        return Has(name) ? Str(name) : fallback;
    }
    long long Int(const std::wstring& name) const {
        std::wstring s = Str(name);
        wchar_t* end = nullptr;
        long long v = std::wcstoll(s.c_str(), &end, 0);
        if (s.empty() || end == nullptr || *end != L'\0') {
            throw std::runtime_error("option " + ToUtf8(name) + " needs a number");
        }
        return v;
    }
    long long Int(const std::wstring& name, long long fallback) const {
        return Has(name) ? Int(name) : fallback;
    }
    const std::vector<std::wstring>& Positional() const { return positional_; }

  private:
    std::map<std::wstring, std::wstring> options_;
    std::vector<std::wstring> positional_;
};

// ---------------------------------------------------------------------------------------
// Windows

std::wstring WindowText(HWND h) {
    // Read without sending a message: a busy program cannot block the reader.
    std::vector<wchar_t> buf(65536);
    int n = InternalGetWindowText(h, buf.data(), static_cast<int>(buf.size()));
    return std::wstring(buf.data(), static_cast<std::size_t>(n > 0 ? n : 0));
}

std::wstring WindowTextByMessage(HWND h) {
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &len)) {
        throw std::runtime_error(ErrorText("WM_GETTEXTLENGTH", GetLastError()));
    }
    std::vector<wchar_t> buf(len + 1);
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()),
                             SMTO_ABORTIFHUNG, 5000, &got)) {
        throw std::runtime_error(ErrorText("WM_GETTEXT", GetLastError()));
    }
    return std::wstring(buf.data(), got);
}

std::wstring ClassOf(HWND h) {
    wchar_t buf[256];
    int n = GetClassNameW(h, buf, 256);
    return std::wstring(buf, static_cast<std::size_t>(n > 0 ? n : 0));
}

DWORD PidOf(HWND h) {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    return pid;
}

std::wstring ProcessImage(DWORD pid) {
    KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) {
        return L"";
    }
    wchar_t buf[1024];
    DWORD size = 1024;
    if (!QueryFullProcessImageNameW(process.Get(), 0, buf, &size)) {
        return L"";
    }
    return std::wstring(buf, size);
}

std::wstring Lower(std::wstring s) {
    for (wchar_t& c : s) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return s;
}

HWND HwndFrom(long long v) {
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(v));
}

BOOL CALLBACK CollectWindow(HWND h, LPARAM windows) {
    reinterpret_cast<std::vector<HWND>*>(windows)->push_back(h);
    return TRUE;
}

BOOL CALLBACK FindById(HWND h, LPARAM search) {
    auto* s = reinterpret_cast<std::pair<int, HWND>*>(search);
    if (GetDlgCtrlID(h) == s->first) {
        s->second = h;
        return FALSE;
    }
    return TRUE;
}

std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> all;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&all));
    return all;
}

bool HasSelector(const Args& a) {
    return a.Has(L"--hwnd") || a.Has(L"--title") || a.Has(L"--class") || a.Has(L"--exe") ||
           a.Has(L"--pid");
}

std::vector<HWND> MatchingWindows(const Args& a) {
    std::vector<HWND> found;
    if (a.Has(L"--hwnd")) {
        HWND h = HwndFrom(a.Int(L"--hwnd"));
        if (IsWindow(h)) {
            found.push_back(h);
        }
        return found;
    }
    std::map<DWORD, std::wstring> images;
    for (HWND h : TopLevelWindows()) {
        if (a.Has(L"--visible-only") && !IsWindowVisible(h)) {
            continue;
        }
        if (a.Has(L"--title") && WindowText(h) != a.Str(L"--title")) {
            continue;
        }
        if (a.Has(L"--class") && ClassOf(h) != a.Str(L"--class")) {
            continue;
        }
        DWORD pid = PidOf(h);
        if (a.Has(L"--pid") && static_cast<long long>(pid) != a.Int(L"--pid")) {
            continue;
        }
        if (a.Has(L"--exe")) {
            auto it = images.find(pid);
            if (it == images.end()) {
                it = images.emplace(pid, Lower(ProcessImage(pid))).first;
            }
            if (it->second.find(Lower(a.Str(L"--exe"))) == std::wstring::npos) {
                continue;
            }
        }
        found.push_back(h);
    }
    return found;
}

HWND FindTop(const Args& a) {
    if (!HasSelector(a)) {
        throw std::runtime_error("no window selector (--title, --class, --exe, --pid, --hwnd)");
    }
    std::vector<HWND> found = MatchingWindows(a);
    return found.empty() ? nullptr : found.front();
}

HWND RequireTop(const Args& a) {
    HWND h = FindTop(a);
    if (h == nullptr) {
        throw std::runtime_error("window not found");
    }
    return h;
}

HWND FindDescendant(HWND top, int id) {
    std::pair<int, HWND> search{id, nullptr};
    EnumChildWindows(top, FindById, reinterpret_cast<LPARAM>(&search));
    return search.second;
}

// The window a command acts on: the selected top-level window or its control --id.
HWND RequireTarget(const Args& a) {
    HWND top = RequireTop(a);
    if (!a.Has(L"--id")) {
        return top;
    }
    HWND ctl = FindDescendant(top, static_cast<int>(a.Int(L"--id")));
    if (ctl == nullptr) {
        throw std::runtime_error("control " + ToUtf8(a.Str(L"--id")) + " not found");
    }
    return ctl;
}

LRESULT SendWithTimeout(HWND h, UINT msg, WPARAM wp, LPARAM lp, const char* what) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(h, msg, wp, lp, SMTO_ABORTIFHUNG, 5000, &result)) {
        throw std::runtime_error(ErrorText(what, GetLastError()));
    }
    return static_cast<LRESULT>(result);
}

void Post(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (!PostMessageW(h, msg, wp, lp)) {
        throw std::runtime_error(ErrorText("PostMessage", GetLastError()));
    }
}

bool IsClass(HWND h, const wchar_t* name) {
    return Lower(ClassOf(h)) == Lower(name);
}

std::vector<std::wstring> WindowInfo(HWND h) {
    DWORD pid = PidOf(h);
    return {Hex(reinterpret_cast<std::uintptr_t>(h)),
            Dec(pid),
            IsWindowVisible(h) ? L"1" : L"0",
            IsWindowEnabled(h) ? L"1" : L"0",
            ClassOf(h),
            WindowText(h),
            ProcessImage(pid)};
}

std::vector<std::wstring> ComboEntries(HWND combo) {
    auto count = SendWithTimeout(combo, CB_GETCOUNT, 0, 0, "CB_GETCOUNT");
    std::vector<std::wstring> entries;
    for (LRESULT i = 0; i < count; ++i) {
        auto len =
            SendWithTimeout(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0, "CB_GETLBTEXTLEN");
        if (len < 0) {
            throw std::runtime_error("CB_GETLBTEXTLEN failed");
        }
        std::vector<wchar_t> buf(static_cast<std::size_t>(len) + 1);
        auto got = SendWithTimeout(combo, CB_GETLBTEXT, static_cast<WPARAM>(i),
                                   reinterpret_cast<LPARAM>(buf.data()), "CB_GETLBTEXT");
        entries.emplace_back(buf.data(), static_cast<std::size_t>(got > 0 ? got : 0));
    }
    return entries;
}

// ---------------------------------------------------------------------------------------
// Commands on windows

void CmdList(const Args& a, Output& out) {
    std::vector<HWND> windows = HasSelector(a) ? MatchingWindows(a) : TopLevelWindows();
    for (HWND h : windows) {
        if (!a.Has(L"--all") && !HasSelector(a) && !IsWindowVisible(h) &&
            (WindowText(h).empty() || ClassOf(h) == L"IME")) {
            continue;  // the many hidden helper windows of Wine itself
        }
        out.Record(WindowInfo(h));
    }
}

void CmdExists(const Args& a, Output& out) {
    out.Record({FindTop(a) ? L"1" : L"0"});
}

void CmdInfo(const Args& a, Output& out) {
    out.Record(WindowInfo(RequireTarget(a)));
}

void CmdVisible(const Args& a, Output& out) {
    HWND top = FindTop(a);
    if (top == nullptr) {
        out.Record({L"0"});
        return;
    }
    HWND h = a.Has(L"--id") ? RequireTarget(a) : top;
    out.Record({IsWindowVisible(h) ? L"1" : L"0"});
}

void CmdText(const Args& a, Output& out) {
    HWND h = RequireTarget(a);
    out.Record({a.Has(L"--wmgettext") ? WindowTextByMessage(h) : WindowText(h)});
}

void CmdEnabled(const Args& a, Output& out) {
    out.Record({IsWindowEnabled(RequireTarget(a)) ? L"1" : L"0"});
}

void CmdChildren(const Args& a, Output& out) {
    HWND top = RequireTop(a);
    std::vector<HWND> children;
    EnumChildWindows(top, CollectWindow, reinterpret_cast<LPARAM>(&children));
    for (HWND h : children) {
        out.Record({Dec(GetDlgCtrlID(h)), ClassOf(h), IsWindowVisible(h) ? L"1" : L"0",
                    IsWindowEnabled(h) ? L"1" : L"0", WindowText(h)});
    }
}

// A click as the user's would arrive: BM_CLICK for buttons, STN_CLICKED from a static
// command label to its parent. Posted, so a modal dialog opened by the click cannot block us.
void CmdClick(const Args& a, Output&) {
    HWND ctl = RequireTarget(a);
    if (IsClass(ctl, L"Button")) {
        Post(ctl, BM_CLICK, 0, 0);
        return;
    }
    int id = GetDlgCtrlID(ctl);
    Post(GetParent(ctl), WM_COMMAND, MAKEWPARAM(id, STN_CLICKED), reinterpret_cast<LPARAM>(ctl));
}

void CmdCommand(const Args& a, Output&) {
    HWND top = RequireTop(a);
    auto id = static_cast<WORD>(a.Int(L"--command"));
    auto code = static_cast<WORD>(a.Int(L"--code", 0));
    Post(top, WM_COMMAND, MAKEWPARAM(id, code), 0);
}

void CmdSelect(const Args& a, Output&) {
    HWND combo = RequireTarget(a);
    LRESULT index = -1;
    if (a.Has(L"--index")) {
        index = static_cast<LRESULT>(a.Int(L"--index"));
    } else {
        std::wstring text = a.Str(L"--text");
        std::vector<std::wstring> entries = ComboEntries(combo);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (entries[i] == text) {
                index = static_cast<LRESULT>(i);
                break;
            }
        }
        if (index < 0) {
            throw std::runtime_error("no entry " + ToUtf8(text));
        }
    }
    LRESULT r = SendWithTimeout(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0, "CB_SETCURSEL");
    if (r == CB_ERR && index >= 0) {
        throw std::runtime_error("index out of range");
    }
    int id = GetDlgCtrlID(combo);
    Post(GetParent(combo), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
         reinterpret_cast<LPARAM>(combo));
}

void CmdItems(const Args& a, Output& out) {
    HWND combo = RequireTarget(a);
    out.Record({Dec(SendWithTimeout(combo, CB_GETCURSEL, 0, 0, "CB_GETCURSEL"))});
    for (const std::wstring& e : ComboEntries(combo)) {
        out.Record({e});
    }
}

void CmdChecked(const Args& a, Output& out) {
    out.Record({Dec(SendWithTimeout(RequireTarget(a), BM_GETCHECK, 0, 0, "BM_GETCHECK"))});
}

void CmdKey(const Args& a, Output&) {
    HWND h = RequireTarget(a);
    auto vk = static_cast<UINT>(a.Int(L"--vk"));
    auto scan = static_cast<LPARAM>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    Post(h, WM_KEYDOWN, vk, 1 | (scan << 16));
    Post(h, WM_KEYUP, vk, static_cast<LPARAM>(1 | (scan << 16) | (3LL << 30)));
}

void CmdClose(const Args& a, Output&) {
    Post(RequireTop(a), WM_CLOSE, 0, 0);
}

void CmdTray(const Args& a, Output&) {
    Post(RequireTop(a), 2025, static_cast<WPARAM>(a.Int(L"--wparam", 0)),
         static_cast<LPARAM>(a.Int(L"--lparam", 0x202)));
}

// trayicon: "1" while the shell holds the window's notification-area icon (--icon N, default
// 0), asked the only way the shell answers for any program: a change that changes nothing
// succeeds exactly when the icon is there. --remove takes the icon away, as a shell that
// restarts has lost every icon.
void CmdTrayIcon(const Args& a, Output& out) {
    NOTIFYICONDATAW record{};
    record.cbSize = NOTIFYICONDATAW_V1_SIZE;
    record.hWnd = RequireTop(a);
    record.uID = static_cast<UINT>(a.Int(L"--icon", 0));
    const BOOL held = Shell_NotifyIconW(a.Has(L"--remove") ? NIM_DELETE : NIM_MODIFY, &record);
    out.Record({held ? L"1" : L"0"});
}

void CmdPost(const Args& a, Output&) {
    Post(RequireTarget(a), static_cast<UINT>(a.Int(L"--msg")),
         static_cast<WPARAM>(a.Int(L"--wparam", 0)), static_cast<LPARAM>(a.Int(L"--lparam", 0)));
}

// The number of a registered window message ("TaskbarCreated"), the same in every program.
void CmdRegMsg(const Args& a, Output& out) {
    out.Record({Dec(RegisterWindowMessageW(a.Str(L"--name").c_str()))});
}

void CmdSend(const Args& a, Output& out) {
    LRESULT r = SendWithTimeout(RequireTarget(a), static_cast<UINT>(a.Int(L"--msg")),
                                static_cast<WPARAM>(a.Int(L"--wparam", 0)),
                                static_cast<LPARAM>(a.Int(L"--lparam", 0)), "SendMessage");
    out.Record({Dec(r)});
}

void CmdRect(const Args& a, Output& out) {
    HWND h = RequireTarget(a);
    RECT r{};
    if (a.Has(L"--client")) {
        GetClientRect(h, &r);
        POINT tl{r.left, r.top};
        POINT br{r.right, r.bottom};
        ClientToScreen(h, &tl);
        ClientToScreen(h, &br);
        r = RECT{tl.x, tl.y, br.x, br.y};
    } else {
        GetWindowRect(h, &r);
    }
    out.Record({Dec(r.left), Dec(r.top), Dec(r.right), Dec(r.bottom)});
}

// Sets a window's text the way the monitor delivers two-dimensional content: the first
// child of the selected window (--first-child), a control (--id) or the window itself.
void CmdSetText(const Args& a, Output& out) {
    HWND h;
    if (a.Has(L"--first-child")) {
        HWND top = RequireTop(a);
        h = FindWindowExW(top, nullptr, nullptr, nullptr);
        if (h == nullptr) {
            throw std::runtime_error("window has no child");
        }
    } else {
        h = RequireTarget(a);
    }
    std::wstring text = a.Str(L"--text");
    out.Record({Dec(
        SendWithTimeout(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), "WM_SETTEXT"))});
}

// Types into whatever has the keyboard focus, as the monitor does: every character as a
// Unicode key, a carriage return as the Enter key.
void CmdType(const Args& a, Output& out) {
    std::wstring text = a.Str(L"--text");
    std::vector<INPUT> inputs;
    for (wchar_t c : text) {
        INPUT down{};
        down.type = INPUT_KEYBOARD;
        if (c == L'\r') {
            down.ki.wVk = VK_RETURN;
            down.ki.wScan = static_cast<WORD>(MapVirtualKeyW(VK_RETURN, MAPVK_VK_TO_VSC));
        } else {
            down.ki.wScan = static_cast<WORD>(c);
            down.ki.dwFlags = KEYEVENTF_UNICODE;
        }
        INPUT up = down;
        up.ki.dwFlags |= KEYEVENTF_KEYUP;
        inputs.push_back(down);
        inputs.push_back(up);
    }
    if (inputs.empty()) {
        out.Record({L"0"});
        return;
    }
    UINT sent = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    if (sent != inputs.size()) {
        throw std::runtime_error(ErrorText("SendInput", GetLastError()));
    }
    out.Record({Dec(sent)});
}

void CmdForeground(const Args&, Output& out) {
    HWND fg = GetForegroundWindow();
    GUITHREADINFO gti{};
    gti.cbSize = sizeof(gti);
    HWND focus = nullptr;
    if (fg != nullptr && GetGUIThreadInfo(GetWindowThreadProcessId(fg, nullptr), &gti)) {
        focus = gti.hwndFocus;
    }
    out.Record({Hex(reinterpret_cast<std::uintptr_t>(fg)), fg ? WindowText(fg) : L"",
                Hex(reinterpret_cast<std::uintptr_t>(focus)), focus ? ClassOf(focus) : L"",
                focus ? Dec(GetDlgCtrlID(focus)) : L""});
}

void CmdActivate(const Args& a, Output& out) {
    out.Record({SetForegroundWindow(RequireTop(a)) ? L"1" : L"0"});
}

// ---------------------------------------------------------------------------------------
// Message boxes

HWND FindMessageBox(const Args& a) {
    for (HWND h : MatchingWindows(a)) {
        if (ClassOf(h) == L"#32770" && IsWindowVisible(h)) {
            return h;
        }
    }
    return nullptr;
}

Args MessageBoxSelector(const Args& a) {
    std::vector<std::wstring> words = {L"--class", L"#32770"};
    for (const wchar_t* name : {L"--title", L"--exe", L"--pid", L"--hwnd"}) {
        if (a.Has(name)) {
            words.push_back(name);
            words.push_back(a.Str(name));
        }
    }
    return Args(words);
}

// Title and text of a visible message box; nothing when there is none.
void CmdMsgBox(const Args& a, Output& out) {
    HWND box = FindMessageBox(MessageBoxSelector(a));
    if (box == nullptr) {
        return;
    }
    std::vector<HWND> children;
    EnumChildWindows(box, CollectWindow, reinterpret_cast<LPARAM>(&children));
    std::wstring text;
    std::wstring buttons;
    for (HWND h : children) {
        std::wstring t = WindowText(h);
        if (IsClass(h, L"Static") && !t.empty()) {
            text += (text.empty() ? L"" : L"\n") + t;
        } else if (IsClass(h, L"Button")) {
            buttons += (buttons.empty() ? L"" : L",") + Dec(GetDlgCtrlID(h)) + L":" + t;
        }
    }
    out.Record({WindowText(box), text, buttons, Dec(PidOf(box))});
}

void CmdMsgBoxPress(const Args& a, Output&) {
    HWND box = FindMessageBox(MessageBoxSelector(a));
    if (box == nullptr) {
        throw std::runtime_error("no message box");
    }
    int id = static_cast<int>(a.Int(L"--button", IDOK));
    HWND button = GetDlgItem(box, id);
    if (button != nullptr) {
        Post(button, BM_CLICK, 0, 0);
    } else {
        Post(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    }
}

void CmdShowMsgBox(const Args& a, Output& out) {
    int r = MessageBoxW(nullptr, a.Str(L"--text").c_str(), a.Str(L"--title").c_str(), MB_OK);
    out.Record({Dec(r)});
}

// ---------------------------------------------------------------------------------------
// Serial port: open, set the line, write, collect the answer, close.

void CmdSerial(const Args& a, Output& out) {
    std::wstring name = L"\\\\.\\COM" + Dec(a.Int(L"--port"));
    KernelHandle port(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (!port) {
        throw std::runtime_error(ErrorText("opening the port", GetLastError()));
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port.Get(), &dcb)) {
        throw std::runtime_error(ErrorText("GetCommState", GetLastError()));
    }
    dcb.BaudRate = static_cast<DWORD>(a.Int(L"--baud", 9600));
    dcb.ByteSize = static_cast<BYTE>(a.Int(L"--bits", 8));
    dcb.Parity = static_cast<BYTE>(a.Int(L"--parity", NOPARITY));
    dcb.StopBits = a.Int(L"--stop", 0) == 0 ? ONESTOPBIT : TWOSTOPBITS;
    dcb.fBinary = TRUE;
    dcb.fParity = dcb.Parity != NOPARITY;
    if (!SetCommState(port.Get(), &dcb)) {
        throw std::runtime_error(ErrorText("SetCommState", GetLastError()));
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // reads return at once with what is there
    SetCommTimeouts(port.Get(), &timeouts);
    PurgeComm(port.Get(), PURGE_RXCLEAR);
    if (a.Has(L"--write")) {
        std::vector<std::uint8_t> data = ParseHexBytes(a.Str(L"--write"));
        DWORD written = 0;
        if (!data.empty() && (!WriteFile(port.Get(), data.data(), static_cast<DWORD>(data.size()),
                                         &written, nullptr) ||
                              written != data.size())) {
            throw std::runtime_error(ErrorText("WriteFile", GetLastError()));
        }
    }
    auto want = static_cast<std::size_t>(a.Int(L"--read", 0));
    DWORD waitMs = static_cast<DWORD>(a.Int(L"--wait", 1000));
    std::vector<std::uint8_t> got;
    DWORD start = GetTickCount();
    while (want > 0 && got.size() < want) {
        std::uint8_t buf[256];
        DWORD n = 0;
        DWORD ask = static_cast<DWORD>(std::min<std::size_t>(sizeof(buf), want - got.size()));
        if (!ReadFile(port.Get(), buf, ask, &n, nullptr)) {
            throw std::runtime_error(ErrorText("ReadFile", GetLastError()));
        }
        got.insert(got.end(), buf, buf + n);
        if (GetTickCount() - start >= waitMs) {
            break;
        }
        if (n == 0) {
            Sleep(10);
        }
    }
    DCB now{};
    now.DCBlength = sizeof(now);
    GetCommState(port.Get(), &now);
    out.Record(
        {HexBytes(got), Dec(now.BaudRate), Dec(now.ByteSize), Dec(now.Parity), Dec(now.StopBits)});
}

// ---------------------------------------------------------------------------------------
// HTTP GET through WinINet, as the monitor reports a reader: status and body (hex).

void CmdHttp(const Args& a, Output& out) {
    std::wstring url = a.Str(L"--url");
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof(parts);
    wchar_t host[256];
    wchar_t path[2048];
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    parts.dwExtraInfoLength = 1;  // the query stays in the path
    if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts)) {
        throw std::runtime_error(ErrorText("InternetCrackUrl", GetLastError()));
    }
    std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr) {
        object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    }
    InternetHandle session(
        InternetOpenW(L"winctl", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!session) {
        throw std::runtime_error(ErrorText("InternetOpen", GetLastError()));
    }
    InternetHandle connection(InternetConnectW(session.Get(), host, parts.nPort, nullptr, nullptr,
                                               INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) {
        throw std::runtime_error(ErrorText("InternetConnect", GetLastError()));
    }
    InternetHandle request(HttpOpenRequestW(
        connection.Get(), L"GET", object.c_str(), nullptr, nullptr, nullptr,
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE, 0));
    if (!request) {
        throw std::runtime_error(ErrorText("HttpOpenRequest", GetLastError()));
    }
    // Set on the request itself: Wine's WinINet takes the time-outs only from there.
    DWORD timeout = static_cast<DWORD>(a.Int(L"--timeout-ms", 5000));
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                         INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        InternetSetOptionW(request.Get(), option, &timeout, sizeof(timeout));
    }
    if (!HttpSendRequestW(request.Get(), nullptr, 0, nullptr, 0)) {
        throw std::runtime_error(ErrorText("HttpSendRequest", GetLastError()));
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    HttpQueryInfoW(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                   nullptr);
    std::vector<std::uint8_t> body;
    for (;;) {
        std::uint8_t buf[4096];
        DWORD n = 0;
        if (!InternetReadFile(request.Get(), buf, sizeof(buf), &n)) {
            throw std::runtime_error(ErrorText("InternetReadFile", GetLastError()));
        }
        if (n == 0) {
            break;
        }
        body.insert(body.end(), buf, buf + n);
    }
    out.Record({Dec(status), HexBytes(body)});
}

// ---------------------------------------------------------------------------------------
// Registry, in the view the monitor itself sees: winctl is built 32- or 64-bit as it is.

std::pair<HKEY, std::wstring> SplitKey(const std::wstring& path) {
    std::size_t slash = path.find(L'\\');
    std::wstring root = path.substr(0, slash);
    std::wstring sub = slash == std::wstring::npos ? L"" : path.substr(slash + 1);
    if (root == L"HKLM" || root == L"HKEY_LOCAL_MACHINE") {
        return {HKEY_LOCAL_MACHINE, sub};
    }
    if (root == L"HKCU" || root == L"HKEY_CURRENT_USER") {
        return {HKEY_CURRENT_USER, sub};
    }
    throw std::runtime_error("unknown registry root");
}

// Type and data of a value; nothing when the key or value is missing.
void CmdRegGet(const Args& a, Output& out) {
    auto [root, sub] = SplitKey(a.Str(L"--key"));
    HKEY raw = nullptr;
    LONG rc = RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, &raw);
    RegKey key(raw);
    if (rc == ERROR_FILE_NOT_FOUND) {
        return;
    }
    if (rc != ERROR_SUCCESS) {
        throw std::runtime_error(ErrorText("RegOpenKeyEx", static_cast<DWORD>(rc)));
    }
    std::wstring name = a.Str(L"--value", L"");
    DWORD type = 0;
    DWORD size = 0;
    rc = RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) {
        return;
    }
    if (rc != ERROR_SUCCESS) {
        throw std::runtime_error(ErrorText("RegQueryValueEx", static_cast<DWORD>(rc)));
    }
    std::vector<std::uint8_t> data(size);
    rc = RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, data.data(), &size);
    if (rc != ERROR_SUCCESS) {
        throw std::runtime_error(ErrorText("RegQueryValueEx", static_cast<DWORD>(rc)));
    }
    data.resize(size);
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        // Kept exactly, a terminating NUL included when it was stored.
        std::wstring s(data.size() / 2, L'\0');
        for (std::size_t i = 0; i < s.size(); ++i) {
            s[i] = static_cast<wchar_t>(data[2 * i] | (data[2 * i + 1] << 8));
        }
        out.Record({L"sz", s});
    } else if (type == REG_DWORD && data.size() == 4) {
        DWORD v = static_cast<DWORD>(data[0] | (data[1] << 8) | (data[2] << 16)) |
                  (static_cast<DWORD>(data[3]) << 24);
        out.Record({L"dword", Dec(v)});
    } else {
        out.Record({L"hex", HexBytes(data)});
    }
}

void CmdRegSet(const Args& a, Output&) {
    auto [root, sub] = SplitKey(a.Str(L"--key"));
    HKEY raw = nullptr;
    LONG rc = RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &raw, nullptr);
    RegKey key(raw);
    if (rc != ERROR_SUCCESS) {
        throw std::runtime_error(ErrorText("RegCreateKeyEx", static_cast<DWORD>(rc)));
    }
    std::wstring name = a.Str(L"--value", L"");
    std::wstring type = a.Str(L"--type", L"sz");
    if (type == L"dword") {
        auto v = static_cast<DWORD>(a.Int(L"--data"));
        rc = RegSetValueExW(key.Get(), name.c_str(), 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&v), sizeof(v));
    } else if (type == L"sz" || type == L"sz0") {
        // "sz" stores the characters alone, "sz0" with a terminating NUL, as other tools
        // write strings. A character other than NUL follows the data in the buffer, or the
        // system would count a NUL it finds there into the value.
        std::wstring data = a.Str(L"--data");
        DWORD count = static_cast<DWORD>(data.size() + (type == L"sz0" ? 1 : 0));
        std::wstring buffer = data + (type == L"sz0" ? std::wstring(1, L'\0') : L"") + L"#";
        rc = RegSetValueExW(key.Get(), name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(buffer.c_str()),
                            static_cast<DWORD>(count * sizeof(wchar_t)));
    } else if (type == L"multi") {
        // Strings separated by line feeds in --data, stored as a REG_MULTI_SZ.
        std::wstring buffer = a.Str(L"--data");
        std::replace(buffer.begin(), buffer.end(), L'\n', L'\0');
        buffer += std::wstring(2, L'\0');
        rc = RegSetValueExW(key.Get(), name.c_str(), 0, REG_MULTI_SZ,
                            reinterpret_cast<const BYTE*>(buffer.c_str()),
                            static_cast<DWORD>(buffer.size() * sizeof(wchar_t)));
    } else {
        throw std::runtime_error("unknown value type");
    }
    if (rc != ERROR_SUCCESS) {
        throw std::runtime_error(ErrorText("RegSetValueEx", static_cast<DWORD>(rc)));
    }
}

// Deletes a value, or with no --value the key and everything below it; missing is fine.
void CmdRegDel(const Args& a, Output&) {
    auto [root, sub] = SplitKey(a.Str(L"--key"));
    LONG rc;
    if (a.Has(L"--value")) {
        HKEY raw = nullptr;
        rc = RegOpenKeyExW(root, sub.c_str(), 0, KEY_SET_VALUE, &raw);
        RegKey key(raw);
        if (rc == ERROR_SUCCESS) {
            rc = RegDeleteValueW(key.Get(), a.Str(L"--value").c_str());
        }
    } else {
        rc = RegDeleteTreeW(root, sub.c_str());
        if (rc == ERROR_SUCCESS) {
            rc = RegDeleteKeyW(root, sub.c_str());
        }
    }
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        throw std::runtime_error(ErrorText("deleting", static_cast<DWORD>(rc)));
    }
}

// regdeny --key K: every account is refused setting values and creating subkeys in K, as a
// standard user is refused a machine key; regdeny --key K --undo takes those refusals away.
// Refusal entries bind administrators too, so this works in a prefix where all run as one.
void CmdRegDeny(const Args& a, Output&) {
    auto [root, sub] = SplitKey(a.Str(L"--key"));
    HKEY raw = nullptr;
    LONG rc = RegOpenKeyExW(root, sub.c_str(), 0, READ_CONTROL | WRITE_DAC, &raw);
    RegKey key(raw);
    if (rc != ERROR_SUCCESS) {
        throw std::runtime_error(ErrorText("RegOpenKeyEx", static_cast<DWORD>(rc)));
    }
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD result = GetSecurityInfo(key.Get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, &dacl, nullptr, &descriptor);
    LocalBlock keepDescriptor(descriptor);
    if (result != ERROR_SUCCESS) {
        throw std::runtime_error(ErrorText("GetSecurityInfo", result));
    }
    PACL denied = nullptr;
    if (a.Has(L"--undo")) {
        for (DWORD i = dacl != nullptr ? dacl->AceCount : 0; i-- > 0;) {
            ACE_HEADER* ace = nullptr;
            if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) &&
                ace->AceType == ACCESS_DENIED_ACE_TYPE) {
                DeleteAce(dacl, i);
            }
        }
    } else {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        BYTE everyone[SECURITY_MAX_SID_SIZE];
        PSID sid = everyone;
        InitializeSid(sid, &world, 1);
        *GetSidSubAuthority(sid, 0) = SECURITY_WORLD_RID;
        EXPLICIT_ACCESSW entry = {};
        entry.grfAccessPermissions = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
        entry.grfAccessMode = DENY_ACCESS;
        entry.grfInheritance = NO_INHERITANCE;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
        result = SetEntriesInAclW(1, &entry, dacl, &denied);
        if (result != ERROR_SUCCESS) {
            throw std::runtime_error(ErrorText("SetEntriesInAcl", result));
        }
        dacl = denied;
    }
    LocalBlock keepDenied(denied);
    result = SetSecurityInfo(key.Get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                             nullptr, dacl, nullptr);
    if (result != ERROR_SUCCESS) {
        throw std::runtime_error(ErrorText("SetSecurityInfo", result));
    }
}

// The handles a process holds, counted in the system's handle table (Wine answers 0 to
// GetProcessHandleCount).
DWORD HandleCount(DWORD pid) {
    struct Entry {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    constexpr ULONG kSystemHandleInformation = 16;
    std::vector<std::uint8_t> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const LONG status = query(kSystemHandleInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            break;
        }
        if (buffer.size() >= (1u << 28)) {
            throw std::runtime_error("system handle table too large");
        }
        buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed));
    }
    const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
    DWORD held = 0;
    for (ULONG i = 0; i < count; ++i) {
        held += entries[i].ownerPid == pid ? 1 : 0;
    }
    return held;
}

// What a window's program holds: its handle count and its working set, as a long run watches
// them for leaks.
void CmdUsage(const Args& a, Output& out) {
    const DWORD pid = PidOf(RequireTop(a));
    KernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    if (!process) {
        throw std::runtime_error(ErrorText("OpenProcess", GetLastError()));
    }
    DWORD handles = 0;
    if (!GetProcessHandleCount(process.Get(), &handles) || handles == 0) {
        handles = HandleCount(pid);
    }
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    if (!K32GetProcessMemoryInfo(process.Get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                                 sizeof(memory))) {
        throw std::runtime_error(ErrorText("GetProcessMemoryInfo", GetLastError()));
    }
    // The peak working set is the one high-water mark Wine keeps for another process (its
    // peak private bytes are the current ones).
    out.Record({Dec(handles), Dec(static_cast<long long>(memory.PagefileUsage)),
                Dec(static_cast<long long>(memory.WorkingSetSize)),
                Dec(static_cast<long long>(memory.PeakWorkingSetSize))});
}

// ---------------------------------------------------------------------------------------

void CmdPing(const Args&, Output& out) {
    out.Record({L"pong", Dec(GetCurrentProcessId())});
}

// A file's or folder's owner and access list as SDDL ("O:BAD:P(A;OICI;FA;;;BA)..."), read back
// independently of the program that set them.
void CmdAcl(const Args& a, Output& out) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD rc = GetNamedSecurityInfoW(a.Str(L"--path").c_str(), SE_FILE_OBJECT,
                                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (rc != ERROR_SUCCESS) {
        throw std::runtime_error(ErrorText("GetNamedSecurityInfo", rc));
    }
    LPWSTR sddl = nullptr;
    const BOOL converted = ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &sddl,
        nullptr);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    if (!converted) {
        throw std::runtime_error(
            ErrorText("ConvertSecurityDescriptorToStringSecurityDescriptor", error));
    }
    out.Record({sddl});
    LocalFree(sddl);
}

// Opens a file for reading, sharing only reading, and keeps it open until this winctl ends: as
// a virus scanner or Explorer's preview holds a program file an installation wants to replace.
void CmdHold(const Args& a, Output&) {
    static std::vector<std::unique_ptr<KernelHandle>> held;
    auto file = std::make_unique<KernelHandle>(CreateFileW(a.Str(L"--path").c_str(), GENERIC_READ,
                                                           FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                           0, nullptr));
    if (!*file) {
        throw std::runtime_error(ErrorText("opening the file", GetLastError()));
    }
    held.push_back(std::move(file));
}

void CmdSleep(const Args& a, Output&) {
    Sleep(static_cast<DWORD>(a.Int(L"--ms")));
}

using Command = std::function<void(const Args&, Output&)>;

const std::map<std::wstring, Command>& Commands() {
    static const std::map<std::wstring, Command> commands = {
        {L"ping", CmdPing},
        {L"sleep", CmdSleep},
        {L"hold", CmdHold},
        {L"list", CmdList},
        {L"exists", CmdExists},
        {L"info", CmdInfo},
        {L"visible", CmdVisible},
        {L"text", CmdText},
        {L"enabled", CmdEnabled},
        {L"children", CmdChildren},
        {L"click", CmdClick},
        {L"command", CmdCommand},
        {L"select", CmdSelect},
        {L"items", CmdItems},
        {L"checked", CmdChecked},
        {L"key", CmdKey},
        {L"close", CmdClose},
        {L"tray", CmdTray},
        {L"trayicon", CmdTrayIcon},
        {L"post", CmdPost},
        {L"send", CmdSend},
        {L"regmsg", CmdRegMsg},
        {L"rect", CmdRect},
        {L"settext", CmdSetText},
        {L"type", CmdType},
        {L"foreground", CmdForeground},
        {L"activate", CmdActivate},
        {L"msgbox", CmdMsgBox},
        {L"msgbox-press", CmdMsgBoxPress},
        {L"show-msgbox", CmdShowMsgBox},
        {L"serial", CmdSerial},
        {L"http", CmdHttp},
        {L"regget", CmdRegGet},
        {L"regset", CmdRegSet},
        {L"regdel", CmdRegDel},
        {L"regdeny", CmdRegDeny},
        {L"acl", CmdAcl},
        {L"usage", CmdUsage},
    };
    return commands;
}

void Run(const std::vector<std::wstring>& words) {
    Output out;
    if (words.empty()) {
        out.Finish("empty command");
        return;
    }
    std::string error;
    try {
        auto it = Commands().find(words.front());
        if (it == Commands().end()) {
            throw std::runtime_error("unknown command " + ToUtf8(words.front()));
        }
        it->second(Args(std::vector<std::wstring>(words.begin() + 1, words.end())), out);
    } catch (const std::exception& e) {
        error = e.what();
        if (error.empty()) {
            error = "failed";
        }
    }
    out.Finish(error);
}

std::vector<std::wstring> SplitWords(const std::wstring& line) {
    std::vector<std::wstring> words;
    std::wstring word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        wchar_t c = line[i];
        if (quoted) {
            if (c == L'"') {
                quoted = false;
            } else if (c == L'\\' && i + 1 < line.size()) {
                wchar_t n = line[++i];
                switch (n) {
                    case L'n':
                        word += L'\n';
                        break;
                    case L'r':
                        word += L'\r';
                        break;
                    case L't':
                        word += L'\t';
                        break;
                    case L'"':
                    case L'\\':
                        word += n;
                        break;
                    default:
                        word += L'\\';
                        word += n;
                }
            } else {
                word += c;
            }
        } else if (c == L'"') {
            quoted = true;
            inWord = true;
        } else if (c == L' ' || c == L'\t') {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

int Serve() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    for (;;) {
        char buf[4096];
        DWORD n = 0;
        if (!ReadFile(in, buf, sizeof(buf), &n, nullptr) || n == 0) {
            return 0;
        }
        pending.append(buf, n);
        std::size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            std::vector<std::wstring> words = SplitWords(FromUtf8(line));
            if (words.empty()) {
                continue;
            }
            if (words.front() == L"quit") {
                Output().Finish("");
                return 0;
            }
            Run(words);
        }
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"--server") {
        return Serve();
    }
    std::vector<std::wstring> words;
    for (int i = 1; i <= argc; ++i) {
        if (i == argc || std::wstring(argv[i]) == L";") {
            if (!words.empty()) {
                Run(words);
            }
            words.clear();
        } else {
            words.emplace_back(argv[i]);
        }
    }
    return 0;
}
