#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/handle_win32.h"
#include "devices/com_port_win32.h"

namespace ordane {
namespace {

std::size_t ThreadsOfThisProcess() {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    std::size_t count = 0;
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more;
         more = Thread32Next(snapshot.Get(), &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    return count;
}

// The positive marker before an absence is checked: the thread left behind has ended, so
// whatever it was going to do is done.
::testing::AssertionResult LeftBehindThreadEnds(std::size_t threadsBefore) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(10)) {
        if (ThreadsOfThisProcess() <= threadsBefore) {
            return ::testing::AssertionSuccess();
        }
    }
    return ::testing::AssertionFailure() << ThreadsOfThisProcess() << " threads, " << threadsBefore
                                         << " before the reader started";
}

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
    const std::size_t threadsBefore = ThreadsOfThisProcess();
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
    ASSERT_TRUE(LeftBehindThreadEnds(threadsBefore));
    EXPECT_LT(stopMs, 2500u);
    EXPECT_EQ(*received, 0);
}

// A byte pipe with an overlapped server end, which stands in for a port.
struct TestPipe {
    UniqueHandle server;
    UniqueHandle client;
};

TestPipe MakeTestPipe(std::size_t n) {
    const std::wstring name = L"\\\\.\\pipe\\ordane-com-reader-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(n);
    TestPipe pipe{
        UniqueHandle(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                      PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr)),
        {}};
    pipe.client.Reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    return pipe;
}

// A thread left behind may run on at any later moment: by then its owner has closed the port,
// and a port opened since may well have been given the same handle value. Here the thread is
// held in its dropper until that value names a new pipe with bytes waiting; it must take none.
TEST(ComReaderTest, AThreadLeftBehindNeverTouchesTheHandleItWasGiven) {
    std::vector<TestPipe> pipes;
    pipes.push_back(MakeTestPipe(0));
    ASSERT_TRUE(pipes[0].server.Valid() && pipes[0].client.Valid());
    UniqueHandle inDropper(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto received = std::make_shared<std::atomic<int>>(0);
    const std::size_t threadsBefore = ThreadsOfThisProcess();
    ComReader reader;
    DWORD error = 0;
    ASSERT_TRUE(reader.Start(
        pipes[0].server.Get(), 64,
        [received](const std::uint8_t*, std::size_t count) {
            *received += static_cast<int>(count);
        },
        [&] {
            SetEvent(inDropper.Get());
            WaitForSingleObject(release.Get(), 5000);
        },
        error));
    std::thread discarding([&] { reader.Discard(); });
    WaitForSingleObject(inDropper.Get(), 5000);
    std::thread stopping([&] { reader.Stop(); });
    Sleep(static_cast<DWORD>(ComReader::kStopWaitMs) + 200);

    // The owner closes its port; pipes are made until one has the port's handle value.
    const HANDLE value = pipes[0].server.Get();
    pipes[0].server.Reset();
    while (pipes.size() < 16 && pipes.back().server.Get() != value) {
        pipes.push_back(MakeTestPipe(pipes.size()));
    }
    DWORD written = 0;
    WriteFile(pipes.back().client.Get(), "new", 3, &written, nullptr);
    SetEvent(release.Get());
    stopping.join();
    discarding.join();
    ASSERT_TRUE(LeftBehindThreadEnds(threadsBefore));

    DWORD waiting = 0;
    PeekNamedPipe(pipes.back().server.Get(), nullptr, 0, nullptr, &waiting, nullptr);
    ASSERT_EQ(pipes.back().server.Get(), value);
    EXPECT_EQ(waiting, 3u);
    EXPECT_EQ(*received, 0);
}

}  // namespace
}  // namespace ordane
