// Drives the Symbol link from commands on stdin and prints what its window receives.
// symbol_link_pty_test.py runs it against a pty with a simulated Symbol scanner.
//
// A message-only window owns the link, as FrmSymbol's window does. Each command line is
// handed to the window as a message, so commands and the link's messages are handled in the
// order they were queued. Replies are one line each:
//
//   conn <port>        -> conn <ConnPort result>
//   buff <size>        -> buff <SetBuff result> (the buffer holds 5001 bytes)
//   param <hex>        -> param <SetParam result>
//   version            -> version <GetScannerVersion result> <ms the call held the window>
//   disc               -> disc <DisConnPort result> <ms the call held the window>
//   hold <ms>          -> hold            (the thread sleeps; link messages queue up)
//   holddisc <ms>      -> holddisc <DisConnPort result> <readings not handed over>
//                         (sleeps, then disconnects at once)
//   bogus              -> bogus           (posts link messages that carry no copy)
//   outstanding        -> outstanding <copies not yet taken>
// and for every link message that arrives:
//   msg data <n> <hex>  /  msg version <n> <hex>
#include <windows.h>

#include <array>
#include <cstdint>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devices/symbol_link_win32.h"
#include "hex.h"

namespace {

constexpr UINT kCommandMessage = WM_APP + 100;
constexpr UINT kEndMessage = WM_APP + 101;

class SymbolProbe {
  public:
    explicit SymbolProbe(HWND window) : window_(window) {}

    LRESULT Handle(UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg == ordane::kSymbolDataMessage || msg == ordane::kSymbolVersionMessage) {
            const std::int32_t n = link_.Unpack(msg, wParam, lParam);
            Print(std::string("msg ") + (msg == ordane::kSymbolDataMessage ? "data " : "version ") +
                  std::to_string(n) + " " +
                  ToHex(buffer_.data(), static_cast<std::size_t>(n > 0 ? n : 0)));
            return 0;
        }
        if (msg == kCommandMessage) {
            std::unique_ptr<std::string> line(reinterpret_cast<std::string*>(lParam));
            Print(Run(*line));
            return 0;
        }
        if (msg == kEndMessage) {
            link_.DisConnPort(reinterpret_cast<ordane::WindowHandle>(window_), port_);
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcW(window_, msg, wParam, lParam);
    }

  private:
    static void Print(const std::string& line) { std::cout << line << std::endl; }

    std::string Run(const std::string& line) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        const auto window = reinterpret_cast<ordane::WindowHandle>(window_);
        if (command == "conn") {
            in >> port_;
            return "conn " + std::to_string(link_.ConnPort(window, 9600, port_));
        }
        if (command == "buff") {
            std::int32_t size = 0;
            in >> size;
            return "buff " + std::to_string(link_.SetBuff(port_, buffer_.data(), size));
        }
        if (command == "param") {
            std::string hex;
            in >> hex;
            const std::vector<std::uint8_t> params = FromHex(hex);
            return "param " + std::to_string(link_.SetParam(
                                  port_, params.data(), static_cast<std::int32_t>(params.size())));
        }
        if (command == "version" || command == "disc") {
            const DWORD start = GetTickCount();
            const std::int32_t result = command == "version" ? link_.GetScannerVersion(port_)
                                                             : link_.DisConnPort(window, port_);
            return command + " " + std::to_string(result) + " " +
                   std::to_string(GetTickCount() - start);
        }
        if (command == "hold" || command == "holddisc") {
            DWORD ms = 0;
            in >> ms;
            Sleep(ms);
            if (command == "hold") {
                return "hold";
            }
            const std::int32_t result = link_.DisConnPort(window, port_);
            return "holddisc " + std::to_string(result) + " " +
                   std::to_string(link_.FailedHandOvers());
        }
        if (command == "bogus") {
            // Messages with the link's numbers that no link posted: a made-up pointer, a
            // null one, and a real address that is not one of the link's copies.
            static std::uint8_t notACopy[4] = {1, 2, 3, 4};
            PostMessageW(window_, ordane::kSymbolDataMessage, 0x12345678, 5);
            PostMessageW(window_, ordane::kSymbolDataMessage, 0, 0);
            PostMessageW(window_, ordane::kSymbolVersionMessage, reinterpret_cast<WPARAM>(notACopy),
                         4);
            return "bogus";
        }
        if (command == "outstanding") {
            return "outstanding " + std::to_string(link_.OutstandingCopies());
        }
        return "error unknown command " + command;
    }

    HWND window_;
    ordane::SymbolLinkWin32 link_;
    std::int32_t port_ = 0;
    std::array<std::uint8_t, 5001> buffer_{};
};

LRESULT CALLBACK ProbeWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* probe = reinterpret_cast<SymbolProbe*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (probe == nullptr) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    return probe->Handle(msg, wParam, lParam);
}

}  // namespace

int main() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = ProbeWindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"OrdaneSymbolProbe";
    if (!RegisterClassW(&wc)) {
        return 1;
    }
    // The probe object needs the window's handle; the window is made first and the object is
    // attached right after, before any message of the link can arrive.
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  instance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    auto probe = std::make_unique<SymbolProbe>(window);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(probe.get()));

    std::thread input([window] {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (line == "quit") {
                break;
            }
            auto copy = std::make_unique<std::string>(line);
            if (PostMessageW(window, kCommandMessage, 0, reinterpret_cast<LPARAM>(copy.get()))) {
                copy.release();
            }
        }
        PostMessageW(window, kEndMessage, 0, 0);
    });

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageW(&msg);
    }
    input.join();
    DestroyWindow(window);
    return 0;
}
