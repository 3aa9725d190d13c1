// The message pump of the user-interface thread.
#pragma once

#include "common/pump.h"

namespace ordane {

class MessagePumpWin32 final : public MessagePump {
  public:
    std::uint32_t TickCount() override;
    void Sleep(std::uint32_t ms) override;
    void DoEvents() override;
};

}  // namespace ordane
