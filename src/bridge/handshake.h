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

// Longer heads are not a browser's: the connection is closed without an answer.
inline constexpr std::size_t kMaxRequestHead = 8192;

enum class HeadState { Incomplete, Complete, TooLarge };

// Where the head ends in what arrived so far (the index just past its empty line).
HeadState FindHeadEnd(std::string_view received, std::size_t& headEnd);

struct HandshakeRules {
    std::uint16_t port = 0;
    std::vector<std::string> origins;  // exact, as the browser sends them
};

struct HandshakeResult {
    int status = 400;      // 101 opens the connection; 400, 403 or 404 close it
    std::string response;  // the whole answer, head and empty body
};

HandshakeResult DecideHandshake(std::string_view head, const HandshakeRules& rules);

}  // namespace ordane::bridge
