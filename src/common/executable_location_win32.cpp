#include "common/executable_location_win32.h"

#include <windows.h>

#include <vector>

namespace ordane {

ExecutableLocation GetExecutableLocation() {
    // GetModuleFileNameW truncates silently when the buffer is too small (the result then
    // fills it), so grow until the name fits: folders may be longer than MAX_PATH.
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length = 0;
    for (;;) {
        length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size() - 1 || buffer.size() >= 32768) {
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    const Text full(reinterpret_cast<const char16_t*>(buffer.data()), length);
    const std::size_t slash = full.find_last_of(u"\\/");
    ExecutableLocation location;
    Text name = full;
    if (slash != Text::npos) {
        location.folder = full.substr(0, slash);
        name = full.substr(slash + 1);
    }
    const std::size_t dot = name.find_last_of(u'.');
    location.baseName = dot == Text::npos ? name : name.substr(0, dot);
    return location;
}

}  // namespace ordane
