#include "devices/arrival_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ordane {
namespace {

void Push(ArrivalQueue& queue, const std::string& bytes, std::uint32_t at,
          std::uint32_t unseenMs = 0) {
    queue.Push(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), at, unseenMs);
}

std::string Pop(ArrivalQueue& queue, std::size_t capacity) {
    std::vector<std::uint8_t> out(capacity);
    out.resize(queue.Pop(out.data(), capacity));
    return std::string(out.begin(), out.end());
}

// Pieces come out whole, in order, with the time they arrived and how long the line was unseen
// before them; bytes read across pieces leave the rest of a piece with its own time.
TEST(ArrivalQueueTest, PiecesKeepTheirOrderAndStampsWhetherTakenOrReadInPart) {
    ArrivalQueue queue;
    Push(queue, "ABC", 100);
    Push(queue, "DE", 160, 40);
    EXPECT_EQ(queue.Size(), 5u);
    EXPECT_EQ(Pop(queue, 4), "ABCD");
    std::vector<ArrivedBytes> taken;
    EXPECT_EQ(queue.TakeAll(taken), 1u);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].bytes, "E");
    EXPECT_EQ(taken[0].at, 160u);
    EXPECT_EQ(taken[0].unseenMs, 40u);
    EXPECT_EQ(queue.Size(), 0u);
    EXPECT_EQ(Pop(queue, 8), "");
}

// A device that streams while nobody reads cannot take all memory: bytes beyond the bound are
// dropped, and the last piece kept says its reading was cut, so it is not delivered as whole.
TEST(ArrivalQueueTest, BytesBeyondTheBoundAreDroppedAndTheLastPieceKeptSaysSo) {
    struct Row {
        const char* what;
        std::size_t first;   // bytes of the first piece
        std::size_t second;  // bytes of the piece after it
        std::size_t kept;
        bool firstCut;
        std::size_t pieces;
    };
    const std::size_t limit = ArrivalQueue::kLimit;
    const Row rows[] = {
        {"both fit", limit - 10, 10, limit, false, 2},
        {"the second cut", limit - 10, 20, limit, false, 2},
        {"full before the second", limit, 1, limit, true, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ArrivalQueue queue;
        Push(queue, std::string(row.first, 'a'), 1);
        Push(queue, std::string(row.second, 'b'), 2);
        EXPECT_EQ(queue.Size(), row.kept);
        std::vector<ArrivedBytes> taken;
        ASSERT_EQ(queue.TakeAll(taken), row.pieces);
        EXPECT_EQ(taken.front().cut, row.firstCut);
        EXPECT_EQ(taken.back().cut, row.first + row.second > limit);
    }
}

}  // namespace
}  // namespace ordane
