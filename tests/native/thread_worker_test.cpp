// ThreadWorker on real threads. Every wait is bounded, so a worker that never answers fails a
// test instead of holding the run.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "common/thread_worker.h"

namespace ordane {
namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& condition) {
    for (const auto end = std::chrono::steady_clock::now() + 5s; !condition();) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(ThreadWorkerTest, AJobsResultIsVisibleOnceIdleAndTheThreadServesTheNextJob) {
    ThreadWorker worker;
    EXPECT_TRUE(worker.Idle());
    int result = 0;  // plain memory: Idle must make the job's write visible
    std::thread::id ranOn;
    ASSERT_TRUE(worker.Start([&] {
        result = 42;
        ranOn = std::this_thread::get_id();
    }));
    ASSERT_TRUE(WaitUntil([&] { return worker.Idle(); }));
    EXPECT_EQ(result, 42);
    EXPECT_NE(ranOn, std::this_thread::get_id());

    const std::thread::id first = ranOn;
    ASSERT_TRUE(worker.Start([&] { ranOn = std::this_thread::get_id(); }));
    ASSERT_TRUE(WaitUntil([&] { return worker.Idle(); }));
    EXPECT_EQ(ranOn, first);
}

TEST(ThreadWorkerTest, StartIsRefusedWhileAJobRuns) {
    ThreadWorker worker;
    std::promise<void> release;
    ASSERT_TRUE(worker.Start([gate = release.get_future().share()] { gate.wait(); }));
    EXPECT_FALSE(worker.Idle());
    bool secondRan = false;
    EXPECT_FALSE(worker.Start([&] { secondRan = true; }));
    release.set_value();
    ASSERT_TRUE(WaitUntil([&] { return worker.Idle(); }));
    EXPECT_FALSE(secondRan);
    EXPECT_TRUE(worker.Start([] {}));
}

TEST(ThreadWorkerTest, DestroyingAWorkerWhoseJobNeverReturnsReturnsAtOnce) {
    std::promise<void> release;
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> jobFinished = finished->get_future();
    auto worker = std::make_unique<ThreadWorker>();
    ASSERT_TRUE(worker->Start([gate = release.get_future().share(), finished] {
        gate.wait();
        finished->set_value();
    }));
    std::future<void> destroyed = std::async(std::launch::async, [&worker] { worker.reset(); });
    EXPECT_EQ(destroyed.wait_for(2s), std::future_status::ready);
    // The thread left behind ends once its job returns.
    release.set_value();
    EXPECT_EQ(jobFinished.wait_for(5s), std::future_status::ready);
    destroyed.wait();
}

}  // namespace
}  // namespace ordane
