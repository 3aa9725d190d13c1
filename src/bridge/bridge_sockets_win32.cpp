#include "bridge/bridge_sockets_win32.h"

#include <iphlpapi.h>

#include <algorithm>
#include <vector>
#include <climits>
#include <cstring>

#include "common/message_window_win32.h"

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

std::string ErrorText(const std::string& what, int error) {
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

bridge::TcpEndpoint Endpoint(const sockaddr_storage& address) {
    bridge::TcpEndpoint endpoint;
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        const auto* b = reinterpret_cast<const std::uint8_t*>(&v4.sin_addr);
        endpoint.address = bridge::MappedV4(b[0], b[1], b[2], b[3]);
        endpoint.port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        std::memcpy(endpoint.address.data(), &v6.sin6_addr, 16);
        endpoint.port = ntohs(v6.sin6_port);
    }
    return endpoint;
}

// The ports of the tables are in network order in their low 16 bits.
std::uint16_t TablePort(DWORD port) {
    return ntohs(static_cast<u_short>(port));
}

// Appends the machine's TCP connections of one family, with their owning processes.
bool ReadTcpTable(ULONG family, std::vector<bridge::TcpRow>& rows) {
    std::vector<unsigned char> buffer;
    const bool filled =
        bridge::FillGrowing(buffer, [family](unsigned char* data, std::uint32_t& size) {
            DWORD length = size;
            const DWORD result = GetExtendedTcpTable(data, &length, FALSE, family,
                                                     TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
            size = length;
            return result == NO_ERROR;
        });
    if (!filled) {
        return false;
    }
    if (family == AF_INET) {
        if (buffer.size() < sizeof(MIB_TCPTABLE_OWNER_PID)) {
            return false;
        }
        const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID& row = table->table[i];
            const auto* local = reinterpret_cast<const std::uint8_t*>(&row.dwLocalAddr);
            const auto* remote = reinterpret_cast<const std::uint8_t*>(&row.dwRemoteAddr);
            rows.push_back({{bridge::MappedV4(local[0], local[1], local[2], local[3]),
                             TablePort(row.dwLocalPort)},
                            {bridge::MappedV4(remote[0], remote[1], remote[2], remote[3]),
                             TablePort(row.dwRemotePort)},
                            row.dwOwningPid});
        }
        return true;
    }
    if (buffer.size() < sizeof(MIB_TCP6TABLE_OWNER_PID)) {
        return false;
    }
    const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
        bridge::TcpRow out;
        std::memcpy(out.local.address.data(), row.ucLocalAddr, 16);
        std::memcpy(out.remote.address.data(), row.ucRemoteAddr, 16);
        out.local.port = TablePort(row.dwLocalPort);
        out.remote.port = TablePort(row.dwRemotePort);
        out.pid = row.dwOwningPid;
        rows.push_back(out);
    }
    return true;
}

// An event of this name (and the port) exists while an Ordane listens on the port, in any
// session: the Global namespace is the machine's.
std::wstring PortMarkerName(std::uint16_t port) {
    return L"Global\\OrdaneBridgePort" + std::to_wstring(port);
}

void Fail(bridge::ListenFailure& failure, const std::string& what, LogWord step, int error) {
    failure.reason = ErrorText(what, error);
    failure.step = step;
    failure.winsockError = error;
}

// Another user's event is there, though not ours to open.
bool OrdaneListensOn(std::uint16_t port) {
    const std::wstring name = PortMarkerName(port);
    const UniqueHandle marker(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
    return marker.Valid() || GetLastError() == ERROR_ACCESS_DENIED;
}

}  // namespace

BridgeSocketsWin32::BridgeSocketsWin32(HINSTANCE instance) : instance_(instance) {}

BridgeSocketsWin32::~BridgeSocketsWin32() {
    accepted_.clear();
    listener_.Reset();
    listener6_.Reset();
    window_.Reset();
    if (winsock_) {
        WSACleanup();
    }
}

bool BridgeSocketsWin32::Listen(std::uint16_t port, bridge::ListenFailure& failure) {
    if (!winsock_) {
        WSADATA data;
        const int started = WSAStartup(MAKEWORD(2, 2), &data);
        if (started != 0) {
            Fail(failure, "WSAStartup failed", "WSAStartup", started);
            return false;
        }
        winsock_ = true;
    }
    if (!window_.Valid()) {
        RegisterMessageWindowClass(instance_, kClassName, &BridgeSocketsWin32::WindowProc);
        window_.Reset(CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      instance_, nullptr));
        if (!window_.Valid()) {
            const DWORD error = GetLastError();
            failure.reason =
                "the bridge's message window could not be created (" + std::to_string(error) + ")";
            failure.step = "message window not created";
            failure.winsockError = error;
            return false;
        }
        SetWindowLongPtrW(window_.Get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    UniqueSocket v4;
    UniqueSocket v6;
    if (!Bind(AF_INET, port, v4, failure)) {
        failure.heldByOrdane = OrdaneListensOn(port);
        return false;
    }
    if (!Bind(AF_INET6, port, v6, failure)) {
        const int error = static_cast<int>(failure.winsockError);
        if (error != WSAEAFNOSUPPORT && error != WSAEADDRNOTAVAIL) {
            failure.heldByOrdane = OrdaneListensOn(port);
            return false;
        }
        // No IPv6 loopback on this machine: no one can hold [::1] either.
        v6.Reset();
    }
    listener_ = std::move(v4);
    listener6_ = std::move(v6);
    // Tells a later Ordane of another session, whose listening fails, who holds the port.
    portMarker_.Reset(CreateEventW(nullptr, TRUE, FALSE, PortMarkerName(port).c_str()));
    return true;
}

bool BridgeSocketsWin32::Bind(int family, std::uint16_t port, UniqueSocket& bound,
                              bridge::ListenFailure& failure) {
    const bool v6 = family == AF_INET6;
    const std::string where = (v6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port) + " ";
    UniqueSocket listener(socket(family, SOCK_STREAM, IPPROTO_TCP));
    if (!listener.Valid()) {
        Fail(failure, where + "socket",
             v6 ? LogWord("socket [::1] failed") : LogWord("socket 127.0.0.1 failed"),
             WSAGetLastError());
        return false;
    }
    // No other program may bind the same port beside us and take our pages' connections.
    BOOL exclusive = TRUE;
    if (setsockopt(listener.Get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&exclusive), sizeof exclusive) != 0) {
        Fail(failure, where + "SO_EXCLUSIVEADDRUSE", "SO_EXCLUSIVEADDRUSE failed",
             WSAGetLastError());
        return false;
    }
    int result = 0;
    if (v6) {
        DWORD only = 1;  // [::1] alone: 127.0.0.1 is the other socket's
        setsockopt(listener.Get(), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&only),
                   sizeof only);
        sockaddr_in6 address = {};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_loopback;  // never another interface
        result = bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never another interface
        result = bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    if (result != 0) {
        Fail(failure, where + "bind",
             v6 ? LogWord("bind [::1] failed, Winsock error")
                : LogWord("bind 127.0.0.1 failed, Winsock error"),
             WSAGetLastError());
        return false;
    }
    if (listen(listener.Get(), kBacklog) != 0) {
        Fail(failure, where + "listen", "listen failed, Winsock error", WSAGetLastError());
        return false;
    }
    if (WSAAsyncSelect(listener.Get(), window_.Get(), kSocketMessage, FD_ACCEPT) != 0) {
        Fail(failure, "WSAAsyncSelect", "WSAAsyncSelect failed", WSAGetLastError());
        return false;
    }
    bound = std::move(listener);
    return true;
}

void BridgeSocketsWin32::ListenAgainAfter(std::uint32_t ms) {
    if (window_.Valid() && SetTimer(window_.Get(), kListenTimer, ms, nullptr) == 0) {
        OutputDebugStringA(
            ("Ordane: bridge retry timer not set (" + std::to_string(GetLastError()) + ")\n")
                .c_str());
    }
}

bridge::PeerOwner BridgeSocketsWin32::PeerSession(bridge::SocketId id) {
    bridge::PeerOwner owner;
    const auto it = accepted_.find(id);
    sockaddr_storage peer = {};
    sockaddr_storage local = {};
    int peerLength = sizeof peer;
    int localLength = sizeof local;
    if (it == accepted_.end() ||
        getpeername(it->second.Get(), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
        getsockname(it->second.Get(), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
        owner.listed = true;  // nothing is known: not served
        return owner;
    }
    // The page's end may be in either table: an IPv6 socket that dialled ::ffff:127.0.0.1 is
    // listed with IPv6 (v4-mapped) addresses although we took it on 127.0.0.1.
    std::vector<bridge::TcpRow> rows;
    if (!ReadTcpTable(AF_INET, rows) || !ReadTcpTable(AF_INET6, rows)) {
        owner.listed = true;
        return owner;
    }
    const std::optional<std::uint32_t> pid =
        bridge::PageProcess(rows, Endpoint(peer), Endpoint(local));
    owner.listed = pid.has_value();
    owner.pid = pid.value_or(0);
    DWORD session = 0;
    if (owner.pid != 0 && ProcessIdToSessionId(owner.pid, &session)) {
        owner.session = session;
    }  // else the process ended, or is another user's: not ours to ask about
    return owner;
}

bool BridgeSocketsWin32::UnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
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
    if (!accepted.Valid() && listener6_.Valid()) {
        accepted.Reset(accept(listener6_.Get(), nullptr, nullptr));
    }
    if (!accepted.Valid()) {
        return false;
    }
    // The accepted socket would inherit FD_ACCEPT only; a page's events are these.
    if (WSAAsyncSelect(accepted.Get(), window_.Get(), kSocketMessage, kPageEvents) != 0) {
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
        WSAAsyncSelect(listener_.Get(), window_.Get(), 0, 0);
        if (listener6_.Valid()) {
            WSAAsyncSelect(listener6_.Get(), window_.Get(), 0, 0);
        }
    } else {
        const auto it = accepted_.find(id);
        if (it == accepted_.end()) {
            return;
        }
        WSAAsyncSelect(it->second.Get(), window_.Get(), kSocketMessage, FD_WRITE | FD_CLOSE);
    }
    held_.insert(id);
    SetTimer(window_.Get(), kReleaseTimer, kReleaseMs, nullptr);
}

void BridgeSocketsWin32::Release() {
    KillTimer(window_.Get(), kReleaseTimer);
    std::set<bridge::SocketId> held;
    held.swap(held_);
    for (bridge::SocketId id : held) {
        if (id == bridge::kListener) {
            WSAAsyncSelect(listener_.Get(), window_.Get(), kSocketMessage, FD_ACCEPT);
            if (listener6_.Valid()) {
                WSAAsyncSelect(listener6_.Get(), window_.Get(), kSocketMessage, FD_ACCEPT);
            }
        } else if (const auto it = accepted_.find(id); it != accepted_.end()) {
            WSAAsyncSelect(it->second.Get(), window_.Get(), kSocketMessage, kPageEvents);
        }
    }
}

void BridgeSocketsWin32::OnSocketEvent(SOCKET socket, WORD event) {
    if (bridge_ == nullptr) {
        return;
    }
    if (socket == listener_.Get() || (listener6_.Valid() && socket == listener6_.Get())) {
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
