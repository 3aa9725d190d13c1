#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "common/handle_win32.h"
#include "devices/com_port_win32.h"

namespace ordane {
namespace {

// A driver that never completes a read: a synchronous pipe blocks inside ReadFile, where
// cancelling cannot reach it. Stop must give up on the thread instead of hanging the program,
// and the thread, once the read ends after all, must not deliver what it got.
TEST(ComReaderTest, StopLeavesAReaderStuckInTheDriverBehind) {
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    UniqueHandle reading(readEnd);
    UniqueHandle writing(writeEnd);
    auto received = std::make_shared<std::atomic<int>>(0);
    // Ends the stuck read after a while, so that a Stop that waits for it is seen, not hung.
    std::thread unblock([&] {
        Sleep(4000);
        DWORD written = 0;
        WriteFile(writing.Get(), "x", 1, &written, nullptr);
    });
    DWORD stopMs = 0;
    {
        ComReader reader;
        DWORD error = 0;
        ASSERT_TRUE(reader.Start(
            reading.Get(), 64,
            [received](const std::uint8_t*, std::size_t count) {
                if (count > 0) {
                    ++*received;
                }
            },
            nullptr, error));
        Sleep(200);
        const DWORD start = GetTickCount();
        reader.Stop();
        stopMs = GetTickCount() - start;
    }
    unblock.join();
    Sleep(300);
    EXPECT_LT(stopMs, 2500u);
    EXPECT_EQ(*received, 0);
}

}  // namespace
}  // namespace ordane
