// A worker on virtual time: the job runs at once when started (its result is there at once),
// but the worker says it is idle only once durationMs of the pump's time have passed, as a
// library call of that length would. With hang set it never becomes idle, as a call that never
// returns.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "common/worker.h"
#include "fake_pump.h"

namespace ordane::test {

class FakeWorker final : public Worker {
  public:
    explicit FakeWorker(FakePump& pump, std::uint32_t duration = 0)
        : durationMs(duration), pump_(pump) {}

    bool Start(std::function<void()> job) override {
        if (!idle_ || !job) {
            return false;
        }
        ++started;
        idle_ = false;
        running = true;
        job();
        running = false;
        // The pump's event may outlive this double.
        pump_.At(durationMs, [this, alive = alive_] {
            if (*alive && !hang) {
                idle_ = true;
                if (onDone) {
                    pump_.Post(onDone);
                }
            }
        });
        return true;
    }
    bool Idle() const override { return idle_; }
    // The call that hung returns.
    void Release() {
        hang = false;
        idle_ = true;
        if (onDone) {
            pump_.Post(onDone);
        }
    }

    ~FakeWorker() override { *alive_ = false; }
    FakeWorker(const FakeWorker&) = delete;
    FakeWorker& operator=(const FakeWorker&) = delete;

    std::uint32_t durationMs;
    bool hang = false;
    bool running = false;  // inside a job: the calls it makes are the worker's
    int started = 0;
    // Posted as a window message when a job returns (the worker's notice to the window).
    std::function<void()> onDone;

  private:
    FakePump& pump_;
    bool idle_ = true;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace ordane::test
