#include "bridge/bridge_sockets_win32.h"

#include <iphlpapi.h>

#include <algorithm>
#include <vector>
#include <climits>

namespace ordane {

namespace {

constexpr wchar_t kClassName[] = L"OrdaneBridgeSockets";
constexpr UINT kSocketMessage = WM_APP + 21;
constexpr int kBacklog = 16;
constexpr long kPageEvents = FD_READ | FD_WRITE | FD_CLOSE;
// A window timer comes only once no posted message waits, so the held sockets are asked
// again only after the scanner's timer and input had their turn.
constexpr UINT_PTR kReleaseTimer = 1;
constexpr UINT kReleaseMs = 20;
constexpr UINT_PTR kListenTimer = 2;

std::string ErrorText(const char* what, int error) {
    std::string name;
    switch (error) {
        case WSAEADDRINUSE:
            name = "WSAEADDRINUSE, the port is used by another program";
            break;
        case WSAEACCES:
            name = "WSAEACCES, the port is held exclusively by another program";
            break;
        default:
            name = "Winsock error";
            break;
    }
    return std::string(what) + " failed: " + name + " (" + std::to_string(error) + ")";
}

}  // namespace

BridgeSocketsWin32::BridgeSocketsWin32(HINSTANCE instance) : instance_(instance) {}

BridgeSocketsWin32::~BridgeSocketsWin32() {
    accepted_.clear();
    listener_.Reset();
    if (window_ != nullptr) {
        DestroyWindow(window_);
    }
    if (winsock_) {
        WSACleanup();
    }
}

bool BridgeSocketsWin32::Listen(std::uint16_t port, std::string& reason) {
    const std::string where = "127.0.0.1:" + std::to_string(port) + " ";
    if (!winsock_) {
        WSADATA data;
        const int started = WSAStartup(MAKEWORD(2, 2), &data);
        if (started != 0) {
            reason = ErrorText("WSAStartup", started);
            return false;
        }
        winsock_ = true;
    }
    if (window_ != nullptr) {
        return Bind(port, where, reason);  // tried again: Winsock and the window are there
    }
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &BridgeSocketsWin32::WindowProc;
    wc.hInstance = instance_;
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);
    window_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance_,
                              nullptr);
    if (window_ == nullptr) {
        reason = "the bridge's message window could not be created (" +
                 std::to_string(GetLastError()) + ")";
        return false;
    }
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    return Bind(port, where, reason);
}

bool BridgeSocketsWin32::Bind(std::uint16_t port, const std::string& where, std::string& reason) {
    UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener.Valid()) {
        reason = ErrorText("socket", WSAGetLastError());
        return false;
    }
    // No other program may bind the same port beside us and take our pages' connections.
    BOOL exclusive = TRUE;
    if (setsockopt(listener.Get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&exclusive), sizeof exclusive) != 0) {
        reason = ErrorText("SO_EXCLUSIVEADDRUSE", WSAGetLastError());
        return false;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never another interface
    if (bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        reason = where + ErrorText("bind", WSAGetLastError());
        return false;
    }
    if (listen(listener.Get(), kBacklog) != 0) {
        reason = where + ErrorText("listen", WSAGetLastError());
        return false;
    }
    if (WSAAsyncSelect(listener.Get(), window_, kSocketMessage, FD_ACCEPT) != 0) {
        reason = ErrorText("WSAAsyncSelect", WSAGetLastError());
        return false;
    }
    listener_ = std::move(listener);
    return true;
}

void BridgeSocketsWin32::ListenAgainAfter(std::uint32_t ms) {
    if (window_ != nullptr && SetTimer(window_, kListenTimer, ms, nullptr) == 0) {
        OutputDebugStringA(
            ("Ordane: bridge retry timer not set (" + std::to_string(GetLastError()) + ")\n")
                .c_str());
    }
}

bridge::BridgeSockets::PeerOwner BridgeSocketsWin32::PeerSession(bridge::SocketId id) {
    PeerOwner owner;
    owner.listed = true;  // until the table says otherwise, nothing is known
    const auto it = accepted_.find(id);
    if (it == accepted_.end()) {
        return owner;
    }
    sockaddr_in peer = {};
    sockaddr_in local = {};
    int peerLength = sizeof peer;
    int localLength = sizeof local;
    if (getpeername(it->second.Get(), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
        getsockname(it->second.Get(), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
        return owner;
    }
    // The machine's TCP connections with their owners; the table may grow between the calls.
    std::vector<unsigned char> buffer;
    DWORD size = 0;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.resize(size);
        result = GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE,
                                     AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    }
    if (result != NO_ERROR || buffer.size() < sizeof(MIB_TCPTABLE_OWNER_PID)) {
        return owner;
    }
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID& row = table->table[i];
        // The page's end of this connection: its local address is our peer's, its remote ours.
        // The ports are in network order in the low 16 bits.
        if (row.dwLocalAddr == peer.sin_addr.s_addr &&
            static_cast<u_short>(row.dwLocalPort) == peer.sin_port &&
            row.dwRemoteAddr == local.sin_addr.s_addr &&
            static_cast<u_short>(row.dwRemotePort) == local.sin_port) {
            // No live connection of Windows belongs to process 0 (the idle process keeps only
            // closed ones); Wine names 0 for a process that is not its own. Either way there
            // is no owner to ask, as for one the table does not list.
            if (row.dwOwningPid == 0) {
                owner.listed = false;
                return owner;
            }
            DWORD session = 0;
            if (ProcessIdToSessionId(row.dwOwningPid, &session)) {
                owner.session = session;
            }  // else the process ended, or is another user's: not ours to ask about
            return owner;
        }
    }
    owner.listed = false;
    return owner;
}

std::uint32_t BridgeSocketsWin32::OwnSession() {
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) {
        const DWORD error = GetLastError();
        OutputDebugStringA(
            ("Ordane: own session not known (" + std::to_string(error) + ")\n").c_str());
        return UINT32_MAX;  // matches no peer: the bridge then serves no one
    }
    return session;
}

bool BridgeSocketsWin32::Accept(bridge::SocketId& id) {
    UniqueSocket accepted(accept(listener_.Get(), nullptr, nullptr));
    if (!accepted.Valid()) {
        return false;
    }
    // The accepted socket would inherit FD_ACCEPT only; a page's events are these.
    if (WSAAsyncSelect(accepted.Get(), window_, kSocketMessage, kPageEvents) != 0) {
        return false;
    }
    // Each message is one small frame sent at once: no waiting for the previous one's ACK.
    BOOL noDelay = TRUE;
    setsockopt(accepted.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    id = static_cast<bridge::SocketId>(accepted.Get());
    accepted_[id] = std::move(accepted);
    return true;
}

std::ptrdiff_t BridgeSocketsWin32::Receive(bridge::SocketId id, std::uint8_t* buffer,
                                           std::size_t size) {
    const auto it = accepted_.find(id);
    if (it == accepted_.end()) {
        return bridge::kBroken;
    }
    const int n = recv(it->second.Get(), reinterpret_cast<char*>(buffer),
                       static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (n == SOCKET_ERROR) {
        return WSAGetLastError() == WSAEWOULDBLOCK ? bridge::kWouldBlock : bridge::kBroken;
    }
    return n;
}

std::ptrdiff_t BridgeSocketsWin32::Send(bridge::SocketId id, const std::uint8_t* data,
                                        std::size_t size) {
    const auto it = accepted_.find(id);
    if (it == accepted_.end()) {
        return bridge::kBroken;
    }
    const int n = send(it->second.Get(), reinterpret_cast<const char*>(data),
                       static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (n == SOCKET_ERROR) {
        return WSAGetLastError() == WSAEWOULDBLOCK ? bridge::kWouldBlock : bridge::kBroken;
    }
    return n;
}

void BridgeSocketsWin32::Close(bridge::SocketId id) {
    const auto it = accepted_.find(id);
    if (it != accepted_.end()) {
        // What was sent still goes out: closing without a linger is graceful.
        shutdown(it->second.Get(), SD_SEND);
        accepted_.erase(it);
    }
}

void BridgeSocketsWin32::Hold(bridge::SocketId id) {
    if (id == bridge::kListener) {
        WSAAsyncSelect(listener_.Get(), window_, 0, 0);
    } else {
        const auto it = accepted_.find(id);
        if (it == accepted_.end()) {
            return;
        }
        WSAAsyncSelect(it->second.Get(), window_, kSocketMessage, FD_WRITE | FD_CLOSE);
    }
    held_.insert(id);
    SetTimer(window_, kReleaseTimer, kReleaseMs, nullptr);
}

void BridgeSocketsWin32::Release() {
    KillTimer(window_, kReleaseTimer);
    std::set<bridge::SocketId> held;
    held.swap(held_);
    for (bridge::SocketId id : held) {
        if (id == bridge::kListener) {
            WSAAsyncSelect(listener_.Get(), window_, kSocketMessage, FD_ACCEPT);
        } else if (const auto it = accepted_.find(id); it != accepted_.end()) {
            WSAAsyncSelect(it->second.Get(), window_, kSocketMessage, kPageEvents);
        }
    }
}

void BridgeSocketsWin32::OnSocketEvent(SOCKET socket, WORD event) {
    if (bridge_ == nullptr) {
        return;
    }
    if (socket == listener_.Get()) {
        bridge_->OnAcceptable();
        return;
    }
    // Events of a socket already closed can still be queued: the Bridge ignores unknown ones.
    const auto id = static_cast<bridge::SocketId>(socket);
    if (accepted_.count(id) == 0) {
        return;
    }
    switch (event) {
        case FD_READ:
            bridge_->OnReadable(id);
            break;
        case FD_WRITE:
            bridge_->OnWritable(id);
            break;
        case FD_CLOSE:
            bridge_->OnClosed(id);  // reads what came before the close, then the close itself
            break;
        default:
            break;
    }
}

LRESULT CALLBACK BridgeSocketsWin32::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kSocketMessage) {
        auto* self = reinterpret_cast<BridgeSocketsWin32*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (self != nullptr) {
            self->OnSocketEvent(static_cast<SOCKET>(wParam), WSAGETSELECTEVENT(lParam));
        }
        return 0;
    }
    if (msg == WM_TIMER && wParam == kListenTimer) {
        KillTimer(hwnd, kListenTimer);
        auto* self = reinterpret_cast<BridgeSocketsWin32*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (self != nullptr && self->bridge_ != nullptr) {
            self->bridge_->OnListenAgain();
        }
        return 0;
    }
    if (msg == WM_TIMER && wParam == kReleaseTimer) {
        auto* self = reinterpret_cast<BridgeSocketsWin32*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (self != nullptr) {
            self->Release();
        }
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

std::int64_t BridgeSocketsWin32::UnixMs() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::int64_t ticks =
        static_cast<std::int64_t>((std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime);
    return ticks / 10'000 - 11'644'473'600'000;  // 100 ns since 1601 to ms since 1970
}

}  // namespace ordane
