// Whether serial port COMn exists and is free right now (opened exclusively, closed at once).
#pragma once

namespace ordane {

class PortProbe {
  public:
    virtual ~PortProbe() = default;
    virtual bool CanOpen(int portNumber) = 0;
};

}  // namespace ordane
