#include <gtest/gtest.h>

#include <vector>

#include "doubles/fake_pump.h"

namespace ordane::test {
namespace {

TEST(FakePumpTest, SleepRunsWorldEventsButDispatchesNoMessage) {
    FakePump pump;
    std::vector<int> seen;
    pump.At(30, [&] { seen.push_back(1); });
    pump.Post([&] { seen.push_back(2); }, 10);
    pump.Sleep(50);
    EXPECT_EQ(seen, std::vector<int>({1}));
    EXPECT_EQ(pump.TickCount(), 50u);
    pump.DoEvents();
    EXPECT_EQ(seen, std::vector<int>({1, 2}));
}

TEST(FakePumpTest, TimerTicksOnlyWhenPumpedAndIsReArmedBeforeItsHandler) {
    FakePump pump;
    std::vector<std::uint64_t> ticks;
    pump.SetTimerHandler([&](int id) {
        EXPECT_EQ(id, 1);
        ticks.push_back(pump.Now());
        if (ticks.size() == 1) {
            pump.Sleep(120);  // a long handler: the next tick waits for a pump
            pump.DoEvents();  // nested tick: 50 ms after the first was taken
        }
    });
    pump.StartTimer(1, 50);
    pump.RunFor(250);
    ASSERT_GE(ticks.size(), 3u);
    EXPECT_EQ(ticks[0], 50u);
    EXPECT_EQ(ticks[1], 170u);
    EXPECT_EQ(ticks[2], 220u);
}

TEST(FakePumpTest, TickCountWraps) {
    FakePump pump;
    pump.SetTickBase(0xFFFFFFF0u);
    pump.Advance(0x20);
    EXPECT_EQ(pump.TickCount(), 0x10u);
}

}  // namespace
}  // namespace ordane::test
