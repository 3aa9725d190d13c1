#include "devices/port_probe_win32.h"

#include <cwchar>
#include <string>

#include "common/handle_win32.h"
#include "devices/com_port_win32.h"

namespace ordane {

bool PortProbeWin32::CanOpen(int portNumber) {
    DWORD error = ERROR_SUCCESS;
    // The handle closes when it goes out of scope, right here.
    return OpenComPort(portNumber, error).Valid();
}

namespace {

// The number of "COMn" (any case), or 0 for any other name.
int ComNumber(const std::wstring& name) {
    if (name.size() < 4 || name.size() > 8 || _wcsnicmp(name.c_str(), L"COM", 3) != 0) {
        return 0;
    }
    int number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < L'0' || name[i] > L'9') {
            return 0;
        }
        number = number * 10 + (name[i] - L'0');
    }
    return number;
}

// The system's device names: a list of names, each ended by a zero, the list by another.
void AddDosDevicePorts(std::vector<int>& ports) {
    std::vector<wchar_t> names(64 * 1024);
    DWORD length = 0;
    for (;;) {
        length = QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (length != 0) {
            break;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || names.size() >= 16u * 1024 * 1024) {
            return;
        }
        names.resize(names.size() * 4);
    }
    for (std::size_t at = 0; at < length && names[at] != L'\0';) {
        const std::wstring name(&names[at]);
        at += name.size() + 1;
        if (const int n = ComNumber(name); n > 0) {
            ports.push_back(n);
        }
    }
}

// The serial ports' drivers name each port they made under HARDWARE\DEVICEMAP\SERIALCOMM.
void AddSerialCommPorts(std::vector<int>& ports) {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                      key.Receive()) != ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t valueName[256];
        DWORD nameLength = 256;
        wchar_t data[64] = {};
        DWORD dataBytes = sizeof data - sizeof data[0];
        DWORD type = 0;
        const LONG status = RegEnumValueW(key.Get(), index, valueName, &nameLength, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data), &dataBytes);
        if (status == ERROR_NO_MORE_ITEMS) {
            return;
        }
        if (status != ERROR_SUCCESS || type != REG_SZ) {
            continue;  // a name or value too long for a port is not one
        }
        if (const int n = ComNumber(data); n > 0) {
            ports.push_back(n);
        }
    }
}

}  // namespace

std::vector<int> PortProbeWin32::NamedPorts() {
    std::vector<int> ports;
    AddDosDevicePorts(ports);
    AddSerialCommPorts(ports);
    return ports;
}

}  // namespace ordane
