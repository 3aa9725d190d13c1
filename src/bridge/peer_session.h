// Whose page is at the other end of a connection: its row in the system's tables of TCP
// connections (with their owning processes), and whether the bridge serves it. Pure: the
// Win32 side reads the tables and asks for the owner's session.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace ordane::bridge {

// IPv4 addresses as IPv6 ones mapped from them (::ffff:a.b.c.d), so that a connection is found
// whichever table lists it: an IPv6 socket connecting to ::ffff:127.0.0.1 is in the IPv6 table.
using IpAddress = std::array<std::uint8_t, 16>;

IpAddress MappedV4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);

struct TcpEndpoint {
    IpAddress address{};
    std::uint16_t port = 0;  // host order
    bool operator==(const TcpEndpoint&) const = default;
};

struct TcpRow {
    TcpEndpoint local;
    TcpEndpoint remote;
    std::uint32_t pid = 0;
};

// The page's end of our connection: the row whose local end is our peer and whose remote end
// is us. None when neither table lists it.
std::optional<std::uint32_t> PageProcess(std::span<const TcpRow> rows, const TcpEndpoint& peer,
                                         const TcpEndpoint& us);

// What was found out about the page's process.
struct PeerOwner {
    bool listed = false;                   // a row for the connection was found
    std::uint32_t pid = 0;                 // its owner, when listed
    std::optional<std::uint32_t> session;  // none when it cannot be told (another user's)
};

// Only a page of Ordane's own session is served. Windows lists every live connection with its
// process, so one not listed, or listed as process 0, is refused. Wine lists only its own
// processes' connections and names 0 for others: there, and only there, such a connection is
// served, since it cannot be told from the clerk's browser.
bool ServePeer(const PeerOwner& owner, std::uint32_t ownSession, bool underWine);

// Fills a table whose size is asked first: `fill` is given the buffer and the size it has and
// returns false with the size needed when that is too small. The table may grow between the
// calls, so it is asked again, a few times. False when it never fitted.
bool FillGrowing(std::vector<unsigned char>& buffer,
                 const std::function<bool(unsigned char*, std::uint32_t&)>& fill);

}  // namespace ordane::bridge
