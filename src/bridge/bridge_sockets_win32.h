// The browser bridge's sockets: Winsock 2 on 127.0.0.1 and [::1] only, non-blocking, their events
// posted by WSAAsyncSelect to a hidden message-only window on the user-interface thread and
// handed to the Bridge there. No thread of its own.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <map>
#include <set>
#include <utility>

#include "bridge/bridge.h"
#include "common/handle_win32.h"

namespace ordane {

class BridgeSocketsWin32 final : public bridge::BridgeSockets {
  public:
    explicit BridgeSocketsWin32(HINSTANCE instance);
    ~BridgeSocketsWin32() override;
    BridgeSocketsWin32(const BridgeSocketsWin32&) = delete;
    BridgeSocketsWin32& operator=(const BridgeSocketsWin32&) = delete;

    // Where the socket events go; set before Listen.
    void Attach(bridge::Bridge& bridge) { bridge_ = &bridge; }

    bool Listen(std::uint16_t port, bridge::ListenFailure& failure) override;
    bool Accept(bridge::SocketId& id) override;
    std::ptrdiff_t Receive(bridge::SocketId id, std::uint8_t* buffer, std::size_t size) override;
    std::ptrdiff_t Send(bridge::SocketId id, const std::uint8_t* data, std::size_t size) override;
    void Close(bridge::SocketId id) override;
    void Hold(bridge::SocketId id) override;
    std::int64_t UnixMs() override;
    void ListenAgainAfter(std::uint32_t ms) override;
    // The owner of the page's end, from the system's TCP table (GetExtendedTcpTable).
    bridge::PeerOwner PeerSession(bridge::SocketId id) override;
    std::uint32_t OwnSession() override;
    // ntdll names its Wine version there; Windows' does not.
    bool UnderWine() override;

  private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void OnSocketEvent(SOCKET socket, WORD event);
    // One listening socket (AF_INET or AF_INET6), once Winsock and the window are there.
    bool Bind(int family, std::uint16_t port, UniqueSocket& bound, bridge::ListenFailure& failure);
    // Asks again for the events of every held socket; Winsock then reports what waits.
    void Release();

    HINSTANCE instance_;
    bool winsock_ = false;
    UniqueWindow window_;
    bridge::Bridge* bridge_ = nullptr;
    UniqueSocket listener_;   // 127.0.0.1
    UniqueSocket listener6_;  // [::1], where the machine has IPv6
    UniqueHandle portMarker_;
    std::map<bridge::SocketId, UniqueSocket> accepted_;
    std::set<bridge::SocketId> held_;
};

}  // namespace ordane
