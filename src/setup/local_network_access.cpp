#include "setup/local_network_access.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "bridge/handshake.h"

namespace ordane::setup {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int HexDigit(char c) {
    if (IsDigit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// One part of an IPv4 host as the URL parser reads it: decimal, "0x" hexadecimal, or octal
// with a leading zero.
std::optional<std::uint64_t> Ipv4Part(std::string_view part) {
    int base = 10;
    if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
        base = 16;
        part.remove_prefix(2);
    } else if (part.size() >= 2 && part[0] == '0') {
        base = 8;
        part.remove_prefix(1);
    }
    std::uint64_t value = 0;
    for (const char c : part) {
        const int digit = HexDigit(c);
        if (digit < 0 || digit >= base || value > 0xFFFFFFFFull) {
            return std::nullopt;
        }
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return value;
}

bool NumericPart(std::string_view part) {
    if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
        part.remove_prefix(2);
        return std::all_of(part.begin(), part.end(), [](char c) { return HexDigit(c) >= 0; });
    }
    return !part.empty() && std::all_of(part.begin(), part.end(), IsDigit);
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t at = 0;
    while (true) {
        const std::size_t end = text.find(separator, at);
        parts.push_back(text.substr(at, end == std::string_view::npos ? text.npos : end - at));
        if (end == std::string_view::npos) {
            return parts;
        }
        at = end + 1;
    }
}

enum class HostKind { kLocal, kPublic, kName, kInvalid };

// 127/8 loopback; 10/8, 172.16/12, 192.168/16 private; 169.254/16 link-local.
HostKind Ipv4Kind(std::uint32_t a) {
    const auto in = [a](std::uint32_t net, int bits) {
        return (a >> (32 - bits)) == (net >> (32 - bits));
    };
    return in(0x7F000000, 8) || in(0x0A000000, 8) || in(0xAC100000, 12) || in(0xC0A80000, 16) ||
                   in(0xA9FE0000, 16)
               ? HostKind::kLocal
               : HostKind::kPublic;
}

// A host the URL parser reads as an IPv4 address: its last dot-separated part is a number.
std::optional<HostKind> Ipv4Host(std::string_view host) {
    std::vector<std::string_view> parts = Split(host, '.');
    if (parts.size() > 1 && parts.back().empty()) {
        parts.pop_back();
    }
    if (!NumericPart(parts.back())) {
        return std::nullopt;
    }
    if (parts.size() > 4) {
        return HostKind::kInvalid;
    }
    std::uint64_t address = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::optional<std::uint64_t> value = Ipv4Part(parts[i]);
        const bool last = i + 1 == parts.size();
        const std::uint64_t limit = last ? (1ull << (8 * (5 - parts.size()))) : 256;
        if (parts[i].empty() || !value || *value >= limit) {
            return HostKind::kInvalid;
        }
        address = last ? address + *value : address + (*value << (8 * (3 - i)));
    }
    return Ipv4Kind(static_cast<std::uint32_t>(address));
}

// "[…]": loopback ::1, unique local fc00::/7, link-local fe80::/10, and an IPv4 address mapped
// into IPv6 as that address.
HostKind Ipv6Kind(std::string_view inner) {
    std::array<std::uint16_t, 8> groups{};
    const std::size_t gap = inner.find("::");
    const auto parse = [](std::string_view text, std::vector<std::uint16_t>& out) {
        if (text.empty()) {
            return true;
        }
        for (std::string_view group : Split(text, ':')) {
            if (group.find('.') != std::string_view::npos) {
                const std::vector<std::string_view> bytes = Split(group, '.');
                std::uint32_t v4 = 0;
                for (std::string_view b : bytes) {
                    // Inside IPv6 only plain decimal bytes, without a leading zero.
                    const bool decimal = !b.empty() && b.size() <= 3 &&
                                         std::all_of(b.begin(), b.end(), IsDigit) &&
                                         (b.size() == 1 || b[0] != '0');
                    const std::optional<std::uint64_t> n = decimal ? Ipv4Part(b) : std::nullopt;
                    if (bytes.size() != 4 || !n || *n > 255) {
                        return false;
                    }
                    v4 = (v4 << 8) | static_cast<std::uint32_t>(*n);
                }
                out.push_back(static_cast<std::uint16_t>(v4 >> 16));
                out.push_back(static_cast<std::uint16_t>(v4 & 0xFFFF));
                continue;
            }
            if (group.empty() || group.size() > 4) {
                return false;
            }
            std::uint32_t value = 0;
            for (const char c : group) {
                if (HexDigit(c) < 0) {
                    return false;
                }
                value = value * 16 + static_cast<std::uint32_t>(HexDigit(c));
            }
            out.push_back(static_cast<std::uint16_t>(value));
        }
        return true;
    };
    std::vector<std::uint16_t> head;
    std::vector<std::uint16_t> tail;
    if (!parse(gap == std::string_view::npos ? inner : inner.substr(0, gap), head) ||
        (gap != std::string_view::npos && !parse(inner.substr(gap + 2), tail)) ||
        (gap == std::string_view::npos ? head.size() != 8 : head.size() + tail.size() > 7)) {
        return HostKind::kInvalid;
    }
    std::copy(head.begin(), head.end(), groups.begin());
    std::copy(tail.begin(), tail.end(), groups.end() - static_cast<std::ptrdiff_t>(tail.size()));
    const bool zeroFirst5 =
        std::all_of(groups.begin(), groups.begin() + 5, [](std::uint16_t g) { return g == 0; });
    if (zeroFirst5 && groups[5] == 0xFFFF) {
        return Ipv4Kind((static_cast<std::uint32_t>(groups[6]) << 16) | groups[7]);
    }
    const bool loopback = zeroFirst5 && groups[5] == 0 && groups[6] == 0 && groups[7] == 1;
    const bool uniqueLocal = (groups[0] & 0xFE00) == 0xFC00;
    const bool linkLocal = (groups[0] & 0xFFC0) == 0xFE80;
    return loopback || uniqueLocal || linkLocal ? HostKind::kLocal : HostKind::kPublic;
}

HostKind KindOfHost(std::string_view host) {
    if (!host.empty() && host.front() == '[') {
        return host.size() > 2 && host.back() == ']' ? Ipv6Kind(host.substr(1, host.size() - 2))
                                                     : HostKind::kInvalid;
    }
    if (const std::optional<HostKind> v4 = Ipv4Host(host)) {
        return *v4;
    }
    std::string_view name = host;
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    // An intranet name without a dot, and "localhost" with its own names, are this network's.
    if (name.find('.') == std::string_view::npos || name == "localhost" ||
        (name.size() > 10 && name.substr(name.size() - 10) == ".localhost")) {
        return HostKind::kLocal;
    }
    return HostKind::kName;
}

// An existing entry as the browsers compare it with an origin: an origin in its normal form,
// anything else (a pattern such as "[*.]example.com") as written.
std::string Comparable(const std::string& data) {
    std::string normal;
    return bridge::NormalOrigin(data, normal) == bridge::OriginFault::None ? normal : data;
}

// The number of a list entry's name: decimal without a leading zero, from 1.
std::optional<std::uint32_t> EntryNumber(const std::string& name) {
    if (name.empty() || name.size() > 9 || name[0] == '0' ||
        !std::all_of(name.begin(), name.end(), IsDigit)) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(std::stoul(name));
}

}  // namespace

PageReach ReachOf(std::string_view origin) {
    std::string normal;
    if (bridge::NormalOrigin(origin, normal) != bridge::OriginFault::None) {
        return PageReach::kNotAnOrigin;
    }
    const std::size_t hostStart = normal.find("://") + 3;
    std::string_view authority = std::string_view(normal).substr(hostStart);
    const std::size_t bracket = authority.rfind(']');
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        authority = authority.substr(0, colon);
    }
    const HostKind kind = KindOfHost(authority);
    if (kind == HostKind::kInvalid) {
        return PageReach::kNotAnOrigin;
    }
    if (normal.compare(0, 6, "https:") == 0) {
        return PageReach::kNeedsPolicy;
    }
    return kind == HostKind::kPublic ? PageReach::kRefused : PageReach::kNeedsNothing;
}

BrowserGrant PlanBrowserGrant(std::string_view origins) {
    BrowserGrant grant;
    std::size_t at = 0;
    while (at < origins.size()) {
        const std::size_t start = origins.find_first_not_of(" \t,", at);
        if (start == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(origins.find_first_of(" \t,", start), origins.size());
        const std::string_view origin = origins.substr(start, end - start);
        at = end;
        std::string normal;
        switch (ReachOf(origin)) {
            case PageReach::kNeedsPolicy:
                bridge::NormalOrigin(origin, normal);
                if (std::find(grant.policy.begin(), grant.policy.end(), normal) ==
                    grant.policy.end()) {
                    grant.policy.push_back(normal);
                }
                break;
            case PageReach::kRefused:
                grant.refused.emplace_back(origin);
                break;
            case PageReach::kNeedsNothing:
            case PageReach::kNotAnOrigin:
                break;
        }
    }
    return grant;
}

std::vector<ListValue> ValuesToAdd(const std::vector<ListValue>& existing,
                                   const std::vector<std::string>& origins) {
    std::vector<ListValue> added;
    const auto named = [&](const std::string& name) {
        return std::any_of(existing.begin(), existing.end(),
                           [&](const ListValue& v) { return v.name == name; }) ||
               std::any_of(added.begin(), added.end(),
                           [&](const ListValue& v) { return v.name == name; });
    };
    std::uint32_t number = 1;
    for (const std::string& origin : origins) {
        const std::string wanted = Comparable(origin);
        const auto holds = [&](const ListValue& v) { return Comparable(v.data) == wanted; };
        if (std::any_of(existing.begin(), existing.end(), holds) ||
            std::any_of(added.begin(), added.end(), holds)) {
            continue;
        }
        while (named(std::to_string(number))) {
            ++number;
        }
        added.push_back({std::to_string(number), origin});
    }
    return added;
}

ListRemoval ValuesToRemove(const std::vector<ListValue>& existing,
                           const std::vector<ListValue>& recorded) {
    ListRemoval removal;
    std::vector<std::pair<std::uint32_t, ListValue>> numbered;
    bool othersRemain = false;
    for (const ListValue& value : existing) {
        if (std::find(recorded.begin(), recorded.end(), value) != recorded.end()) {
            removal.remove.push_back(value.name);
        } else if (const std::optional<std::uint32_t> n = EntryNumber(value.name)) {
            numbered.emplace_back(*n, value);
        } else {
            othersRemain = true;
        }
    }
    if (removal.remove.empty()) {
        return removal;  // nothing of ours there: the key stays exactly as it is
    }
    std::sort(numbered.begin(), numbered.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < numbered.size(); ++i) {
        const std::string name = std::to_string(i + 1);
        if (numbered[i].second.name != name) {
            removal.remove.push_back(numbered[i].second.name);
            removal.set.push_back({name, numbered[i].second.data});
            removal.setFrom.push_back(numbered[i].second.name);
        }
    }
    removal.keyEmpty = numbered.empty() && !othersRemain;
    return removal;
}

}  // namespace ordane::setup
