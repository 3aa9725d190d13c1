// Everything runs on the one user-interface thread. Waits that must keep the window alive
// (Delay, the scanner's collection loop, identification exchanges) pump pending messages
// through this interface; the Win32 implementation is PeekMessage/DispatchMessage, the test
// double runs virtual time.
#pragma once

#include <cstdint>

namespace ordane {

class MessagePump {
  public:
    virtual ~MessagePump() = default;
    // The system's millisecond tick count; it wraps after 2^32 ms.
    virtual std::uint32_t TickCount() = 0;
    // Blocks the thread; no message is dispatched meanwhile.
    virtual void Sleep(std::uint32_t ms) = 0;
    // Dispatches every pending window message once (timer ticks, clicks, link messages).
    virtual void DoEvents() = 0;
};

// Window timers of the main window. A tick arrives as a message, so it runs only from the
// message loop or from DoEvents.
class TimerHost {
  public:
    virtual ~TimerHost() = default;
    virtual void StartTimer(int id, std::uint32_t intervalMs) = 0;
    virtual void StopTimer(int id) = 0;
};

// A timer as the window sees it: an enabled flag and a fixed interval.
class Timer {
  public:
    Timer(TimerHost& host, int id, std::uint32_t intervalMs)
        : host_(host), id_(id), intervalMs_(intervalMs) {}
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled) {
        if (enabled == enabled_) {
            return;
        }
        enabled_ = enabled;
        if (enabled) {
            host_.StartTimer(id_, intervalMs_);
        } else {
            host_.StopTimer(id_);
        }
    }
    int Id() const { return id_; }

  private:
    TimerHost& host_;
    int id_;
    std::uint32_t intervalMs_;
    bool enabled_ = false;
};

}  // namespace ordane
