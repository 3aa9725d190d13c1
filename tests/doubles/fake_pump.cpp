#include "fake_pump.h"

#include <algorithm>
#include <limits>

namespace ordane::test {

namespace {
constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
}  // namespace

std::uint32_t FakePump::TickCount() {
    return static_cast<std::uint32_t>(base_ + now_);
}

void FakePump::StartTimer(int id, std::uint32_t intervalMs) {
    timers_[id] = TimerState{intervalMs, now_ + intervalMs};
}

void FakePump::StopTimer(int id) {
    timers_.erase(id);
}

void FakePump::At(std::uint32_t delayMs, Action action) {
    world_.push_back(Scheduled{now_ + delayMs, order_++, std::move(action)});
}

void FakePump::Post(Action message, std::uint32_t delayMs) {
    messages_.push_back(Scheduled{now_ + delayMs, order_++, std::move(message)});
}

void FakePump::RunWorldUntil(std::uint64_t until) {
    for (;;) {
        auto next =
            std::min_element(world_.begin(), world_.end(), [](const auto& a, const auto& b) {
                return a.due != b.due ? a.due < b.due : a.order < b.order;
            });
        if (next == world_.end() || next->due > until) {
            break;
        }
        Scheduled event = std::move(*next);
        world_.erase(next);
        now_ = std::max(now_, event.due);
        event.action();
    }
    now_ = std::max(now_, until);
}

void FakePump::Advance(std::uint32_t ms) {
    RunWorldUntil(now_ + ms);
}

void FakePump::DoEvents() {
    ++doEventsCalls_;
    // Posted messages first, in order, then due timers, like a queue checked once.
    std::vector<Scheduled> due;
    for (auto it = messages_.begin(); it != messages_.end();) {
        if (it->due <= now_) {
            due.push_back(std::move(*it));
            it = messages_.erase(it);
        } else {
            ++it;
        }
    }
    std::sort(due.begin(), due.end(),
              [](const auto& a, const auto& b) { return a.order < b.order; });
    for (auto& message : due) {
        message.action();
    }
    std::vector<int> dueTimers;
    for (const auto& [id, timer] : timers_) {
        if (timer.due <= now_) {
            dueTimers.push_back(id);
        }
    }
    for (int id : dueTimers) {
        auto it = timers_.find(id);
        if (it == timers_.end() || it->second.due > now_) {
            continue;  // stopped or restarted by an earlier handler
        }
        // Re-armed before the handler runs, as WM_TIMER is, so a handler that pumps sees the
        // next tick only after a whole interval.
        it->second.due = now_ + it->second.interval;
        if (timerHandler_) {
            timerHandler_(id);
        }
    }
}

std::uint64_t FakePump::NextDue() const {
    std::uint64_t next = kNever;
    for (const auto& e : world_) {
        next = std::min(next, e.due);
    }
    for (const auto& m : messages_) {
        next = std::min(next, m.due);
    }
    for (const auto& [id, timer] : timers_) {
        next = std::min(next, timer.due);
    }
    return next;
}

void FakePump::RunFor(std::uint32_t ms) {
    const std::uint64_t end = now_ + ms;
    for (;;) {
        DoEvents();
        const std::uint64_t next = std::max(NextDue(), now_ + 1);
        if (next > end) {
            RunWorldUntil(end);
            return;
        }
        RunWorldUntil(next);
    }
}

bool FakePump::RunUntil(const std::function<bool()>& condition, std::uint32_t limitMs) {
    const std::uint64_t end = now_ + limitMs;
    while (!condition()) {
        if (now_ >= end) {
            return false;
        }
        RunFor(static_cast<std::uint32_t>(std::min<std::uint64_t>(10, end - now_)));
    }
    return true;
}

}  // namespace ordane::test
