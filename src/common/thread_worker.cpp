#include "common/thread_worker.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <utility>

namespace ordane {

struct ThreadWorker::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::function<void()> job;
    std::function<void()> onDone;
    bool stop = false;
    // Set by Start, cleared by the thread once the job returned (release: the job's writes
    // come with it).
    std::atomic<bool> busy{false};
};

ThreadWorker::~ThreadWorker() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stop = true;
    }
    shared_->wake.notify_one();
    if (Idle()) {
        thread_.join();
    } else {
        thread_.detach();
    }
}

bool ThreadWorker::Start(std::function<void()> job) {
    if (!job || !Idle()) {
        return false;
    }
    if (!thread_.joinable()) {
        auto shared = std::make_shared<Shared>();
        shared->onDone = onDone_;
        try {
            thread_ = std::thread([shared] { Run(shared); });
        } catch (const std::system_error&) {
            return false;
        }
        shared_ = std::move(shared);
    }
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->job = std::move(job);
        shared_->busy.store(true, std::memory_order_relaxed);
    }
    shared_->wake.notify_one();
    return true;
}

bool ThreadWorker::Idle() const {
    return !shared_ || !shared_->busy.load(std::memory_order_acquire);
}

void ThreadWorker::Run(const std::shared_ptr<Shared>& shared) {
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->wake.wait(lock, [&] { return shared->stop || shared->job; });
        if (!shared->job) {
            return;  // asked to stop while idle
        }
        std::function<void()> job = std::move(shared->job);
        shared->job = nullptr;
        lock.unlock();
        // A job that throws has returned all the same: the worker must stay usable.
        try {
            job();
        } catch (...) {
        }
        job = nullptr;  // what it captured goes on this thread, before it counts as done
        shared->busy.store(false, std::memory_order_release);
        if (shared->onDone) {
            shared->onDone();
        }
        lock.lock();
        if (shared->stop) {
            return;
        }
    }
}

}  // namespace ordane
