// What the installer's /BRIDGELNA switch writes into Chrome's and Edge's policy so that the pages
// allowed to use the browser bridge reach it without the browsers' Local Network Access prompt,
// and what the removal takes away again. The registry calls are the installer's helper's
// (installer/setup_tool_win32.cpp).
//
// A page on a public address that opens a socket to this machine's loopback is asked about by
// the browser, and only a secure (https) page can be granted it: the allow-list policy
// LocalNetworkAccessAllowedForUrls names such pages. A page that is itself on loopback, on a
// private address or on an intranet name needs nothing; an http page on a public address can
// never be let through, by any policy.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ordane::setup {

enum class PageReach {
    kNeedsPolicy,   // https: written to the allow-list
    kNeedsNothing,  // http on loopback, a private or link-local address, or a name without a dot
    kRefused,       // http on a public address: nothing lets the browser open the socket
    kNotAnOrigin,   // not an origin (the bridge leaves it out too): neither written nor refused
};

// How a page of `origin` (as the bridge's Origins holds it) reaches the bridge. A host name with
// a dot is judged by the address it resolves to, which only the browser knows: an http one is
// not refused (nor can it be granted).
PageReach ReachOf(std::string_view origin);

struct BrowserGrant {
    std::vector<std::string> policy;   // origins to write, in normal form, each once
    std::vector<std::string> refused;  // http origins on public addresses, as written
};

// The bridge's Origins (separated by spaces, tabs or commas, as Ordane reads them) sorted out.
BrowserGrant PlanBrowserGrant(std::string_view origins);

// One value of an allow-list key: its name ("1", "2" …) and the URL pattern it holds.
struct ListValue {
    std::string name;
    std::string data;
    bool operator==(const ListValue&) const = default;
};

// The values to write into an allow-list key that holds `existing` so that it names every one of
// `origins`: an origin already named there (by anybody) is not written again; the others take
// the lowest free numbers from 1 up, since the browsers read the list "1", "2" … up to the first
// missing number. Nothing already there is changed.
std::vector<ListValue> ValuesToAdd(const std::vector<ListValue>& existing,
                                   const std::vector<std::string>& origins);

struct ListRemoval {
    std::vector<std::string> remove;   // names to delete
    std::vector<ListValue> set;        // values to write afterwards (entries moved down)
    std::vector<std::string> setFrom;  // the name set[i] had: its type and bytes move with it
    bool keyEmpty = false;             // nothing remains: the key itself may go
};

// Taking away what the installer wrote (`recorded`): a recorded value is removed only while it
// still holds what was written under the same name; what others wrote stays, and the numbered
// entries behind a removed one move down, in their order, so that the browsers still read them.
ListRemoval ValuesToRemove(const std::vector<ListValue>& existing,
                           const std::vector<ListValue>& recorded);

}  // namespace ordane::setup
