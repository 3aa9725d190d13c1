// Whether serial port COMn exists and is free right now (opened exclusively, closed at once),
// and which serial ports the machine names.
#pragma once

#include <algorithm>
#include <vector>

namespace ordane {

class PortProbe {
  public:
    virtual ~PortProbe() = default;
    virtual bool CanOpen(int portNumber) = 0;
    // The COM port numbers the machine names now, any number, in no particular order. An
    // adapter on a machine that has seen many is numbered high (COM17, COM257).
    virtual std::vector<int> NamedPorts() = 0;
};

// The ports worth asking: COM1 to COM16 as always, and every higher one the machine names, in
// ascending order.
inline std::vector<int> PortsToTry(PortProbe& probe) {
    constexpr int kListedPorts = 16;
    std::vector<int> ports;
    for (int n = 1; n <= kListedPorts; ++n) {
        ports.push_back(n);
    }
    for (int n : probe.NamedPorts()) {
        if (n > kListedPorts) {
            ports.push_back(n);
        }
    }
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

}  // namespace ordane
