// Port probe on Win32: COMn opened as \\.\COMn (so COM10 to COM16 are found too), read and
// write, no sharing, overlapped, and closed at once. A port held open by anyone fails.
#pragma once

#include "devices/port_probe.h"

namespace ordane {

class PortProbeWin32 final : public PortProbe {
  public:
    bool CanOpen(int portNumber) override;
    // The "COMn" names among the system's device names (QueryDosDevice) and those the serial
    // drivers list under HARDWARE\DEVICEMAP\SERIALCOMM.
    std::vector<int> NamedPorts() override;
};

}  // namespace ordane
