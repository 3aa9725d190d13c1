#include "devices/port_probe_win32.h"

#include "devices/com_port_win32.h"

namespace ordane {

bool PortProbeWin32::CanOpen(int portNumber) {
    DWORD error = ERROR_SUCCESS;
    // The handle closes when it goes out of scope, right here.
    return OpenComPort(portNumber, error).Valid();
}

}  // namespace ordane
