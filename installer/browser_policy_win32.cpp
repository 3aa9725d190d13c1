// The browsers' Local Network Access allow-list: lna-check, lna-grant, lna-revoke.

#include "setup_tool_win32.h"

#include <map>
#include <string>
#include <vector>

#include "common/wide_win32.h"
#include "setup/local_network_access.h"

namespace ordane::setup_tool {

namespace setup = ordane::setup;

namespace {

// --- The browsers' Local Network Access allow-list --------------------------------------------
constexpr DWORD kPublicHttpOrigin = 0x20000002;

// The browsers' machine policy is read in the system's own view (a 64-bit Chrome, and group
// policy writing it); the record is Ordane's own, in the view Ordane sees.
constexpr REGSAM kBrowserView = KEY_WOW64_64KEY;
constexpr wchar_t kAccessRecord[] = L"SOFTWARE\\Ordane\\LocalNetworkAccess";

struct BrowserList {
    const wchar_t* name;  // the record's subkey
    const wchar_t* key;
};
constexpr BrowserList kBrowserLists[] = {
    {L"Chrome", L"SOFTWARE\\Policies\\Google\\Chrome\\LocalNetworkAccessAllowedForUrls"},
    {L"Edge", L"SOFTWARE\\Policies\\Microsoft\\Edge\\LocalNetworkAccessAllowedForUrls"},
};

std::wstring RecordKey(const BrowserList& list) {
    return std::wstring(kAccessRecord) + L"\\" + list.name;
}

std::wstring WideOf(const std::string& utf8) {
    const Text text = ordane::FromUtf8(utf8);
    return std::wstring(Wide(text));
}

// A value as the registry holds it, for one that is not a plain string: another party's, moved
// down as it is (rewritten as an empty string, it would be lost).
struct RawValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};
using RawValues = std::map<std::string, RawValue>;

// The string values of an open key (others are named too, with empty data, so that no number
// is taken twice; `raw`, when given, receives them as they are).
DWORD ReadList(HKEY key, std::vector<setup::ListValue>& values, RawValues* raw = nullptr) {
    values.clear();
    for (DWORD index = 0;; ++index) {
        wchar_t name[256] = {};
        DWORD nameLength = static_cast<DWORD>(std::size(name));
        std::vector<wchar_t> data(2048);
        DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        DWORD type = 0;
        const LONG read = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data.data()), &size);
        if (read == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (read != ERROR_SUCCESS && read != ERROR_MORE_DATA) {
            return static_cast<DWORD>(read);
        }
        std::string text;
        const std::string utf8Name = ordane::ToUtf8(FromWide(name));
        if (read == ERROR_SUCCESS && type == REG_SZ) {
            const std::size_t chars = size / sizeof(wchar_t);
            text = ordane::ToUtf8(FromWide(std::wstring(data.data(), chars).c_str()));
        } else if (raw != nullptr) {
            RawValue& value = (*raw)[utf8Name];
            DWORD length = 0;
            RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &length);
            value.bytes.resize(length);
            if (RegQueryValueExW(key, name, nullptr, &value.type, value.bytes.data(), &length) !=
                ERROR_SUCCESS) {
                return ERROR_MORE_DATA;  // changed meanwhile: nothing is moved on a guess
            }
            value.bytes.resize(length);
        }
        values.push_back({utf8Name, text});
    }
}

// A key's values, or none when it is not there.
DWORD ReadListAt(const wchar_t* subkey, REGSAM view, std::vector<setup::ListValue>& values) {
    values.clear();
    UniqueRegKey key;
    const LONG opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE | view, key.Receive());
    if (opened == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    return opened == ERROR_SUCCESS ? ReadList(key.Get(), values) : static_cast<DWORD>(opened);
}

DWORD SetString(HKEY key, const std::string& name, const std::string& data) {
    const std::wstring wideName = WideOf(name);
    const std::wstring wideData = WideOf(data);
    return static_cast<DWORD>(RegSetValueExW(
        key, wideName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wideData.c_str()),
        static_cast<DWORD>((wideData.size() + 1) * sizeof(wchar_t))));
}

// Takes back what the record names from one browser's list, then the record.
DWORD RevokeList(const BrowserList& list) {
    std::vector<setup::ListValue> recorded;
    const std::wstring recordKey = RecordKey(list);
    DWORD result = ReadListAt(recordKey.c_str(), kOrdaneView, recorded);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    UniqueRegKey key;
    // An empty record (everything was named already) is dropped all the same.
    const LONG opened =
        recorded.empty()
            ? ERROR_FILE_NOT_FOUND
            : RegOpenKeyExW(HKEY_LOCAL_MACHINE, list.key, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE | kBrowserView, key.Receive());
    if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND) {
        return static_cast<DWORD>(opened);
    }
    if (opened == ERROR_SUCCESS) {
        std::vector<setup::ListValue> existing;
        RawValues raw;
        result = ReadList(key.Get(), existing, &raw);
        if (result != ERROR_SUCCESS) {
            return result;
        }
        const setup::ListRemoval removal = setup::ValuesToRemove(existing, recorded);
        for (const std::string& name : removal.remove) {
            const LONG deleted = RegDeleteValueW(key.Get(), WideOf(name).c_str());
            if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
                return static_cast<DWORD>(deleted);
            }
        }
        for (std::size_t i = 0; i < removal.set.size(); ++i) {
            const setup::ListValue& value = removal.set[i];
            const auto other = raw.find(removal.setFrom[i]);
            result = other == raw.end() ? SetString(key.Get(), value.name, value.data)
                                        : static_cast<DWORD>(RegSetValueExW(
                                              key.Get(), WideOf(value.name).c_str(), 0,
                                              other->second.type, other->second.bytes.data(),
                                              static_cast<DWORD>(other->second.bytes.size())));
            if (result != ERROR_SUCCESS) {
                return result;
            }
        }
        if (removal.keyEmpty) {
            // Nothing left in it: the list key goes too (its parents stay).
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, list.key, kBrowserView, 0);
        }
    }
    const LONG dropped = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, recordKey.c_str(), kOrdaneView, 0);
    return dropped == ERROR_SUCCESS || dropped == ERROR_FILE_NOT_FOUND
               ? ERROR_SUCCESS
               : static_cast<DWORD>(dropped);
}

}  // namespace

DWORD RevokeLocalNetworkAccess() {
    for (const BrowserList& list : kBrowserLists) {
        const DWORD result = RevokeList(list);
        if (result != ERROR_SUCCESS) {
            return result;
        }
    }
    const LONG dropped = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kAccessRecord, kOrdaneView, 0);
    // Still there when a subkey could not go: the next removal tries again.
    return dropped == ERROR_SUCCESS || dropped == ERROR_FILE_NOT_FOUND
               ? ERROR_SUCCESS
               : static_cast<DWORD>(dropped);
}

DWORD CheckLocalNetworkAccess(const wchar_t* origins) {
    return setup::PlanBrowserGrant(ordane::ToUtf8(FromWide(origins))).refused.empty()
               ? ERROR_SUCCESS
               : kPublicHttpOrigin;
}

DWORD GrantLocalNetworkAccess(const wchar_t* origins) {
    const setup::BrowserGrant grant = setup::PlanBrowserGrant(ordane::ToUtf8(FromWide(origins)));
    if (!grant.refused.empty()) {
        return kPublicHttpOrigin;
    }
    DWORD result = RevokeLocalNetworkAccess();
    for (const BrowserList& list : kBrowserLists) {
        if (result != ERROR_SUCCESS || grant.policy.empty()) {
            return result;
        }
        UniqueRegKey key;
        LONG made = RegCreateKeyExW(
            HKEY_LOCAL_MACHINE, list.key, 0, nullptr, REG_OPTION_NON_VOLATILE,
            KEY_QUERY_VALUE | KEY_SET_VALUE | kBrowserView, nullptr, key.Receive(), nullptr);
        UniqueRegKey record;
        if (made == ERROR_SUCCESS) {
            made = RegCreateKeyExW(HKEY_LOCAL_MACHINE, RecordKey(list).c_str(), 0, nullptr,
                                   REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | kOrdaneView, nullptr,
                                   record.Receive(), nullptr);
        }
        if (made != ERROR_SUCCESS) {
            return static_cast<DWORD>(made);
        }
        std::vector<setup::ListValue> existing;
        result = ReadList(key.Get(), existing);
        if (result != ERROR_SUCCESS) {
            return result;
        }
        // Recorded first: a value written is never one the removal does not know of.
        for (const setup::ListValue& value : setup::ValuesToAdd(existing, grant.policy)) {
            result = SetString(record.Get(), value.name, value.data);
            if (result == ERROR_SUCCESS) {
                result = SetString(key.Get(), value.name, value.data);
            }
            if (result != ERROR_SUCCESS) {
                return result;
            }
        }
    }
    return result;
}

}  // namespace ordane::setup_tool
