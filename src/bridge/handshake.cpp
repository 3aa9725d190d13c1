#include "bridge/handshake.h"

#include <map>
#include <optional>

#include "bridge/websocket_key.h"

namespace ordane::bridge {

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string ToLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = Lower(c);
    }
    return out;
}

std::string_view TrimOws(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// A comma-separated header value holds this token, compared without regard to case.
bool HasToken(std::string_view value, std::string_view token) {
    const std::string wanted = ToLower(token);
    while (true) {
        const std::size_t comma = value.find(',');
        if (ToLower(TrimOws(value.substr(0, comma))) == wanted) {
            return true;
        }
        if (comma == std::string_view::npos) {
            return false;
        }
        value.remove_prefix(comma + 1);
    }
}

struct Request {
    std::string method;
    std::string target;
    std::string version;
    // Names in lowercase; a repeated field's values joined by ", " as HTTP allows.
    std::map<std::string, std::string> fields;
    std::map<std::string, int> counts;
};

bool TokenChar(char c) {
    return c > ' ' && c < 0x7F && c != ':' && c != '(' && c != ')' && c != ',' && c != '/' &&
           c != ';' && c != '<' && c != '>' && c != '=' && c != '?' && c != '@' && c != '[' &&
           c != ']' && c != '\\' && c != '"' && c != '{' && c != '}';
}

std::optional<Request> Parse(std::string_view head) {
    Request request;
    bool first = true;
    while (!head.empty()) {
        const std::size_t lf = head.find('\n');
        std::string_view line = head.substr(0, lf);
        head.remove_prefix(lf == std::string_view::npos ? head.size() : lf + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            break;
        }
        if (first) {
            first = false;
            const std::size_t sp1 = line.find(' ');
            const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
            if (sp2 == std::string_view::npos ||
                line.find(' ', sp2 + 1) != std::string_view::npos) {
                return std::nullopt;
            }
            request.method = line.substr(0, sp1);
            request.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
            request.version = line.substr(sp2 + 1);
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == 0 || colon == std::string_view::npos) {
            return std::nullopt;
        }
        for (char c : line.substr(0, colon)) {
            if (!TokenChar(c)) {
                return std::nullopt;
            }
        }
        const std::string name = ToLower(line.substr(0, colon));
        const std::string_view value = TrimOws(line.substr(colon + 1));
        std::string& joined = request.fields[name];
        joined += (request.counts[name]++ > 0 ? ", " : "");
        joined += value;
    }
    if (first || request.method.empty() || request.version.rfind("HTTP/1.", 0) != 0) {
        return std::nullopt;
    }
    return request;
}

HandshakeResult Refusal(int status) {
    const char* reason = status == 403   ? "403 Forbidden"
                         : status == 404 ? "404 Not Found"
                                         : "400 Bad Request";
    std::string response =
        std::string("HTTP/1.1 ") + reason + "\r\nContent-Length: 0\r\nConnection: close\r\n";
    if (status == 400) {
        response += "Sec-WebSocket-Version: 13\r\n";
    }
    return {status, response + "\r\n", {}, {}};
}

}  // namespace

OriginFault NormalOrigin(std::string_view entry, std::string& normal) {
    const std::size_t colon = entry.find("://");
    const std::string scheme = ToLower(entry.substr(0, colon));
    if (colon == std::string_view::npos || (scheme != "http" && scheme != "https")) {
        return entry == "null" || entry == "*" ? OriginFault::AnyPage : OriginFault::NotHttp;
    }
    const std::string_view authority = entry.substr(colon + 3);
    if (authority.find_first_of("/?#") != std::string_view::npos) {
        return OriginFault::Path;
    }
    if (authority.find_first_of("@*") != std::string_view::npos) {
        return OriginFault::UserOrWildcard;
    }
    // The port follows the last ':' that is not inside an IPv6 address's brackets.
    const std::size_t bracket = authority.rfind(']');
    const std::size_t portColon = authority.rfind(':');
    const bool hasPort = portColon != std::string_view::npos &&
                         (bracket == std::string_view::npos || portColon > bracket);
    const std::string_view host = authority.substr(0, hasPort ? portColon : authority.size());
    std::string_view port = hasPort ? authority.substr(portColon + 1) : std::string_view();
    std::uint32_t number = 0;
    for (const char c : port) {
        number = c >= '0' && c <= '9' && number <= 65535 ? number * 10 + (c - '0') : 65536;
    }
    if (host.empty() || (hasPort && (port.empty() || number == 0 || number > 65535))) {
        return OriginFault::HostOrPort;
    }
    for (const char c : host) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return OriginFault::NotAscii;
        }
    }
    if ((scheme == "http" && number == 80) || (scheme == "https" && number == 443)) {
        port = {};
    }
    normal = scheme;
    normal.append("://").append(ToLower(host));
    if (!port.empty()) {
        normal.append(1, ':').append(std::to_string(number));
    }
    return OriginFault::None;
}

bool LoopbackHttp(std::string_view origin) {
    constexpr std::string_view kHttp = "http://";
    if (origin.substr(0, kHttp.size()) != kHttp) {
        return false;
    }
    std::string_view host = origin.substr(kHttp.size());
    const std::size_t bracket = host.rfind(']');
    const std::size_t colon = host.rfind(':');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        host = host.substr(0, colon);
    }
    const bool number = host.substr(0, 4) == "127." &&
                        host.find_first_not_of("0123456789.") == std::string_view::npos;
    return number || host == "localhost" || host == "[::1]" || host.ends_with(".localhost");
}

HeadState FindHeadEnd(std::string_view received, std::size_t& headEnd) {
    const std::string_view window = received.substr(0, kMaxRequestHead);
    for (std::size_t i = 0; i < window.size(); ++i) {
        if (window[i] != '\n') {
            continue;
        }
        // An empty line: "\n\n" or "\n\r\n".
        if (i + 1 < window.size() && window[i + 1] == '\n') {
            headEnd = i + 2;
            return HeadState::Complete;
        }
        if (i + 2 < window.size() && window[i + 1] == '\r' && window[i + 2] == '\n') {
            headEnd = i + 3;
            return HeadState::Complete;
        }
    }
    return received.size() >= kMaxRequestHead ? HeadState::TooLarge : HeadState::Incomplete;
}

HandshakeResult DecideHandshake(std::string_view head, const HandshakeRules& rules) {
    const std::optional<Request> request = Parse(head);
    if (!request) {
        return Refusal(400);
    }
    const auto field = [&](const char* name) -> const std::string* {
        const auto it = request->fields.find(name);
        return it == request->fields.end() ? nullptr : &it->second;
    };
    const auto single = [&](const char* name) -> const std::string* {
        const auto it = request->counts.find(name);
        return it != request->counts.end() && it->second == 1 ? field(name) : nullptr;
    };
    // What the log shows of a refused request.
    const auto refuse = [&](int status) {
        HandshakeResult refused = Refusal(status);
        const std::string* origin = field("origin");
        const std::string* host = field("host");
        refused.origin = origin != nullptr ? *origin : "";
        refused.host = host != nullptr ? *host : "";
        return refused;
    };
    // The host first: a page that reached us through a name rebound to 127.0.0.1 learns
    // nothing, not even whether the path exists.
    const std::string* host = single("host");
    const std::string port = std::to_string(rules.port);
    // On port 80 a browser leaves the port out of Host, as the default of ws://.
    const auto ours = [&](const std::string& name) {
        const std::string lower = ToLower(*host);
        return lower == name + ":" + port || (rules.port == 80 && lower == name);
    };
    if (host == nullptr || !(ours("127.0.0.1") || ours("localhost") || ours("[::1]"))) {
        return refuse(403);
    }
    const std::string* upgrade = field("upgrade");
    const std::string* connection = field("connection");
    if (request->method != "GET" || request->target != "/readings" || upgrade == nullptr ||
        !HasToken(*upgrade, "websocket") || connection == nullptr ||
        !HasToken(*connection, "upgrade")) {
        return refuse(404);
    }
    const std::string* origin = single("origin");
    std::string normal;
    bool allowed = false;
    if (origin != nullptr && NormalOrigin(*origin, normal) == OriginFault::None) {
        for (const std::string& candidate : rules.origins) {
            allowed = allowed || normal == candidate;
        }
    }
    if (!allowed) {
        return refuse(403);
    }
    const std::string* version = single("sec-websocket-version");
    const std::string* key = single("sec-websocket-key");
    if (request->version != "HTTP/1.1" || version == nullptr || *version != "13" ||
        key == nullptr || !ValidClientKey(*key)) {
        return refuse(400);
    }
    return {101,
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
            "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
                AcceptKey(*key) + "\r\n\r\n",
            {},
            {}};
}

}  // namespace ordane::bridge
