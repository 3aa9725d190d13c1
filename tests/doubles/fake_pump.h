// Deterministic clock and message pump. Virtual time only moves when the code under test
// sleeps or a test lets it run; no test sleeps for real.
//
// Two kinds of events: world events (bytes arriving at a port, a card laid on the reader)
// happen when virtual time reaches them, whatever the program is doing; window messages
// (timer ticks, posted messages) run only when the program dispatches: DoEvents, or the main
// message loop modelled by RunFor.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "common/pump.h"

namespace ordane::test {

class FakePump final : public MessagePump, public TimerHost {
  public:
    using Action = std::function<void()>;

    std::uint32_t TickCount() override;
    void Sleep(std::uint32_t ms) override { Advance(ms); }
    void DoEvents() override;
    void StartTimer(int id, std::uint32_t intervalMs) override;
    void StopTimer(int id) override;

    // Who receives timer ticks (the window's WM_TIMER handler).
    void SetTimerHandler(std::function<void(int)> handler) { timerHandler_ = std::move(handler); }
    // Makes TickCount start from this value (to test the wrap of the counter).
    void SetTickBase(std::uint32_t base) { base_ = base; }

    // Time passes without any dispatching, as inside a blocking call.
    void Advance(std::uint32_t ms);
    // A world event after delayMs from now.
    void At(std::uint32_t delayMs, Action action);
    // A window message, dispatched once delayMs have passed and the program pumps.
    void Post(Action message, std::uint32_t delayMs = 0);
    // The message loop: time passes and messages are dispatched as they become due.
    void RunFor(std::uint32_t ms);
    // Runs the loop until the condition holds or limitMs pass; true when it held.
    bool RunUntil(const std::function<bool()>& condition, std::uint32_t limitMs);

    std::uint64_t Now() const { return now_; }
    bool TimerRunning(int id) const { return timers_.count(id) != 0; }
    int DoEventsCalls() const { return doEventsCalls_; }

  private:
    struct Scheduled {
        std::uint64_t due;
        std::uint64_t order;
        Action action;
    };
    struct TimerState {
        std::uint32_t interval;
        std::uint64_t due;
    };

    void RunWorldUntil(std::uint64_t until);
    std::uint64_t NextDue() const;

    std::uint64_t now_ = 0;
    std::uint32_t base_ = 0;
    std::uint64_t order_ = 0;
    std::vector<Scheduled> world_;
    std::vector<Scheduled> messages_;
    std::map<int, TimerState> timers_;
    std::function<void(int)> timerHandler_;
    int doEventsCalls_ = 0;
};

}  // namespace ordane::test
