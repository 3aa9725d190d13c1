// Worker on a thread of its own, kept for the program's life so that a job every half second
// costs no thread start.
#pragma once

#include <functional>
#include <memory>
#include <thread>
#include <utility>

#include "common/worker.h"

namespace ordane {

class ThreadWorker final : public Worker {
  public:
    // onDone runs on the worker's thread each time a job returned; it must not block (the
    // Win32 program posts a message to its window).
    explicit ThreadWorker(std::function<void()> onDone = {}) : onDone_(std::move(onDone)) {}
    // Waits for the thread when it is idle. A thread whose job never returned (a library stuck
    // in a driver) is left behind, so that it cannot hold the program's exit; it keeps what it
    // uses alive itself and ends once the job returns.
    ~ThreadWorker() override;
    ThreadWorker(const ThreadWorker&) = delete;
    ThreadWorker& operator=(const ThreadWorker&) = delete;

    // The thread is started by the first job; false as well when it cannot be started.
    bool Start(std::function<void()> job) override;
    bool Idle() const override;

  private:
    struct Shared;
    static void Run(const std::shared_ptr<Shared>& shared);

    std::function<void()> onDone_;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace ordane
