// The page's opening request: an HTTP/1.1 upgrade to a WebSocket on /readings. Only a page of
// an allowed origin, addressing this machine's loopback by name or number, is let in; the
// decision is made on the request head alone, before any reading is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ordane::bridge {

// Longer heads (a browser's with many cookies for the host) are answered 431 and closed.
inline constexpr std::size_t kMaxRequestHead = 8192;
inline constexpr char kHeadTooLargeResponse[] =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n";

enum class HeadState { Incomplete, Complete, TooLarge };

// Where the head ends in what arrived so far (the index just past its empty line).
HeadState FindHeadEnd(std::string_view received, std::size_t& headEnd);

// An origin in the form browsers send it: "http" or "https", "://", the host, and the port
// only when it is not the scheme's default; scheme and host in lower case. What no browser
// sends as an allowed origin is refused with its fault: "null" or "*", another scheme, a path
// or a trailing '/', a user or a wildcard, no host or a port out of range.
// A host not in ASCII is refused too: browsers send its xn-- form, which it must be written in.
enum class OriginFault { None, AnyPage, NotHttp, Path, UserOrWildcard, HostOrPort, NotAscii };
OriginFault NormalOrigin(std::string_view entry, std::string& normal);

// An allowed origin (in its normal form) of an http page on this machine's loopback.
bool LoopbackHttp(std::string_view origin);

struct HandshakeRules {
    std::uint16_t port = 0;
    std::vector<std::string> origins;  // in their normal form
};

struct HandshakeResult {
    int status = 400;      // 101 opens the connection; 400, 403 or 404 close it
    std::string response;  // the whole answer, head and empty body
    // Of a refused request, for the log: its Origin and Host as sent (empty without).
    std::string origin;
    std::string host;
};

HandshakeResult DecideHandshake(std::string_view head, const HandshakeRules& rules);

}  // namespace ordane::bridge
