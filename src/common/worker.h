// Runs one job at a time away from the user-interface thread, so that a library call that
// blocks for a second, or never returns, cannot hold the window, the tray or the scanner. The
// window hears of a returned job by a message the worker posts (the shell wires it), so a card
// is taken as soon as it was read.
#pragma once

#include <functional>

namespace ordane {

class Worker {
  public:
    virtual ~Worker() = default;
    // Starts job on the worker; false (and the job is not run) while the last one is still
    // running. The job must not touch the user-interface thread's objects: it fills a result
    // that the caller reads once Idle() says the job returned.
    virtual bool Start(std::function<void()> job) = 0;
    // True when no job is running: everything the last job wrote is visible to the caller.
    virtual bool Idle() const = 0;
};

}  // namespace ordane
