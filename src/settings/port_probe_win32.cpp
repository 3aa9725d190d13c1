#include "settings/port_probe_win32.h"

#include <cwchar>
#include <string>

#include "devices/com_port_win32.h"

namespace ordane {

bool PortProbeWin32::CanOpen(int portNumber) {
    DWORD error = ERROR_SUCCESS;
    // The handle closes when it goes out of scope, right here.
    return OpenComPort(portNumber, error).Valid();
}

std::vector<int> PortProbeWin32::NamedPorts() {
    std::vector<int> ports;
    std::vector<wchar_t> names(64 * 1024);
    DWORD length = 0;
    for (;;) {
        length = QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (length != 0) {
            break;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || names.size() >= 16u * 1024 * 1024) {
            return ports;  // none named: the usual sixteen are still tried
        }
        names.resize(names.size() * 4);
    }
    // A list of names, each ended by a zero, the list by another.
    for (std::size_t at = 0; at < length && names[at] != L'\0';) {
        const std::wstring name(&names[at]);
        at += name.size() + 1;
        if (name.size() < 4 || name.size() > 8 || _wcsnicmp(name.c_str(), L"COM", 3) != 0) {
            continue;
        }
        int number = 0;
        bool digits = true;
        for (std::size_t i = 3; i < name.size(); ++i) {
            digits = digits && name[i] >= L'0' && name[i] <= L'9';
            number = number * 10 + (name[i] - L'0');
        }
        if (digits && number > 0) {
            ports.push_back(number);
        }
    }
    return ports;
}

}  // namespace ordane
