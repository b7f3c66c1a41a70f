// ByteBuffer and PointerQueue: the contract the plug-ins rely on.
#include "byte_buffer.h"
#include "pointer_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <tuple>
#include <vector>

using plughost::ByteBuffer;
using plughost::PointerQueue;

namespace {

std::string content(const ByteBuffer &b) { return std::string(reinterpret_cast<const char *>(b.data()), b.size()); }

void put(ByteBuffer &b, const std::string &s) { ASSERT_TRUE(b.write(s.data(), s.size())); }

} // namespace

TEST(HostBuffer, WriteReadPeekRemove)
{
    ByteBuffer b(1024);
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(b.allocated(), 0u); // nothing held before the first write
    put(b, "hello world");
    char out[16] = {};
    EXPECT_EQ(b.peekAt(out, 6, 100), 5u);
    EXPECT_EQ(std::string(out, 5), "world");
    EXPECT_EQ(b.peekAt(out, 11, 1), 0u);
    EXPECT_EQ(b.read(out, 5), 5u);
    EXPECT_EQ(std::string(out, 5), "hello");
    EXPECT_EQ(b.remove(1), 1u);
    EXPECT_EQ(content(b), "world");
    EXPECT_EQ(b.read(out, 100), 5u); // min(n, size)
    EXPECT_EQ(b.remove(3), 0u);
    EXPECT_EQ(b.size(), 0u);
}

TEST(HostBuffer, RemoveAtDropsTheBytesAppendedLast)
{
    ByteBuffer b(1024);
    put(b, "keep");
    put(b, "drop!");
    const std::int64_t n = 5;
    EXPECT_TRUE(b.removeAt(static_cast<std::int64_t>(b.size()) - n - 1, n));
    EXPECT_EQ(content(b), "keep");
    // n equal to the size: pos is -1 and everything goes.
    EXPECT_TRUE(b.removeAt(-1, 4));
    EXPECT_EQ(b.size(), 0u);

    put(b, "abcdef");
    EXPECT_TRUE(b.removeAt(1, 2)); // bytes 2 and 3: "cd"
    EXPECT_EQ(content(b), "abef");
    EXPECT_FALSE(b.removeAt(2, 2)); // bytes 3..4: past the end
    EXPECT_FALSE(b.removeAt(-2, 1));
    EXPECT_FALSE(b.removeAt(-1, 5));
    EXPECT_EQ(content(b), "abef"); // unchanged after a refusal
}

TEST(HostBuffer, WriteBlockGrantsBetweenOneAndWanted)
{
    ByteBuffer b(1 << 20);
    std::size_t granted = 0;
    unsigned char *block = b.writeBlock(4, &granted);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(granted, 4u);
    std::memcpy(block, "abcd", 4);
    EXPECT_TRUE(b.commit(3));
    EXPECT_EQ(content(b), "abc");
    EXPECT_TRUE(b.commit(1)); // the rest of the same block
    EXPECT_FALSE(b.commit(1)); // beyond what was granted
    EXPECT_EQ(content(b), "abcd");

    block = b.writeBlock(0, &granted); // any amount
    ASSERT_NE(block, nullptr);
    EXPECT_GE(granted, 1u);
    EXPECT_GE(granted, ByteBuffer::kMinBlock);

    block = b.writeBlock(1, &granted);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(granted, 1u);
    b.write("x", 1); // another call ends the block
    EXPECT_FALSE(b.commit(1));
    EXPECT_EQ(content(b), "abcdx");
}

TEST(HostBuffer, CapRefusesWritesAndBlocks)
{
    ByteBuffer b(10);
    put(b, "0123456");
    EXPECT_FALSE(b.write("abcd", 4)); // all or nothing
    EXPECT_EQ(content(b), "0123456");
    std::size_t granted = 0;
    ASSERT_NE(b.writeBlock(100, &granted), nullptr);
    EXPECT_EQ(granted, 3u); // only what the cap leaves
    unsigned char *block = b.writeBlock(0, &granted);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(granted, 3u);
    std::memcpy(block, "789", 3);
    EXPECT_TRUE(b.commit(3));
    EXPECT_EQ(b.writeBlock(0, &granted), nullptr);
    EXPECT_EQ(granted, 0u);
    EXPECT_EQ(b.writeBlock(1, &granted), nullptr);
    EXPECT_FALSE(b.write("z", 1));
    EXPECT_EQ(b.remove(2), 2u); // consuming makes room again
    EXPECT_TRUE(b.write("yz", 2));
    EXPECT_EQ(content(b), "23456789yz");

    ByteBuffer zero(0);
    EXPECT_EQ(zero.writeBlock(0, &granted), nullptr);
    EXPECT_FALSE(zero.write("a", 1));
    EXPECT_TRUE(zero.write("", 0));
}

// A swap moves the memory, not the bytes: each buffer ends up with the other's
// content at the other's address, keeps its own cap, and a write block granted
// before is void. A content over the other's cap refuses it, nothing changed.
TEST(HostBuffer, SwapExchangesMemoryAndKeepsCaps)
{
    ByteBuffer big(8 * 1024 * 1024), small(64);
    std::string frame(3 * 1024 * 1024, 'p'); // a mapping of its own
    put(big, frame + "next");
    big.remove(2);
    const unsigned char *where = big.data();
    std::size_t granted = 0;
    ASSERT_NE(big.writeBlock(10, &granted), nullptr);
    EXPECT_FALSE(small.swap(big)) << "3 MiB over a cap of 64";
    EXPECT_EQ(big.size(), frame.size() + 2);
    EXPECT_EQ(small.size(), 0u);

    ByteBuffer spare(16 * 1024 * 1024);
    put(spare, "old");
    spare.clear(); // empty, memory kept
    ASSERT_TRUE(big.swap(spare));
    EXPECT_EQ(spare.data(), where);
    EXPECT_EQ(content(spare), frame.substr(2) + "next");
    EXPECT_EQ(big.size(), 0u);
    EXPECT_FALSE(big.commit(1)) << "the block granted before the swap is void";
    EXPECT_EQ(big.cap(), 8u * 1024 * 1024);
    EXPECT_EQ(spare.cap(), 16u * 1024 * 1024);
    put(big, "rest");
    EXPECT_TRUE(spare.removeAt(static_cast<std::int64_t>(spare.size()) - 5, 4));
    EXPECT_EQ(content(spare), frame.substr(2));
    EXPECT_EQ(content(big), "rest");
}

TEST(HostBuffer, ReserveIsAllocatedAtOnceAndBoundedByTheCap)
{
    ByteBuffer b(100, 64);
    EXPECT_EQ(b.allocated(), 64u);
    ByteBuffer capped(16, 64);
    EXPECT_EQ(capped.allocated(), 16u);
}

// 100 MB arriving in 64 KiB pieces, the way a client's image reaches
// InBuffer: the bytes copied by growth stay linear in the total.
TEST(HostBuffer, GrowthIsAmortisedForALargeArrival)
{
    const std::size_t total = 100'000'000, piece = 64 * 1024;
    ByteBuffer b(128u << 20);
    std::size_t moved = 0, lastAlloc = 0, arrived = 0;
    while (arrived < total) {
        std::size_t granted = 0;
        unsigned char *block = b.writeBlock(0, &granted);
        ASSERT_NE(block, nullptr);
        const std::size_t n = std::min({granted, piece, total - arrived});
        std::memset(block, static_cast<int>(arrived / piece), n);
        const std::size_t before = b.size();
        ASSERT_TRUE(b.commit(n));
        if (b.allocated() != lastAlloc) {
            moved += before; // a new allocation copies the content held
            lastAlloc = b.allocated();
        }
        arrived += n;
    }
    EXPECT_EQ(b.size(), total);
    EXPECT_LE(moved, 2 * total);
    EXPECT_LE(b.allocated(), 2 * total);
    unsigned char probe = 0;
    b.peekAt(&probe, total - 1, 1);
    EXPECT_EQ(probe, static_cast<unsigned char>((total - 1) / piece));
}

// Reading from the front while writing at the back (a stream passing
// through): memory stays bounded and content moves cost no more than linear.
TEST(HostBuffer, StreamingThroughKeepsMemoryBounded)
{
    ByteBuffer b(1u << 30);
    std::vector<unsigned char> chunk(10'000, 7), out(10'000);
    std::size_t peak = 0;
    for (int i = 0; i < 20'000; ++i) {
        ASSERT_TRUE(b.write(chunk.data(), chunk.size()));
        if (i >= 3) {
            ASSERT_EQ(b.read(out.data(), out.size()), out.size());
        }
        peak = std::max(peak, b.allocated());
    }
    EXPECT_EQ(b.size(), 3 * chunk.size());
    EXPECT_LE(peak, 256u * 1024);
}

// ------------------------------------------------------- what an emptied buffer keeps

constexpr std::size_t MiB = 1u << 20;

// How content arrives and leaves in one fill, as the host and the plug-ins
// move it: a whole write and a whole read; 64 KiB blocks in and out (a relay
// of records); blocks of any size filled in uneven pieces, as a pipe or a
// socket delivers them, and read out in uneven pieces.
enum class Style { Whole, Blocks, Pieces };

// One fill: `size` bytes in, then all of them out; the buffer ends empty.
void fill(ByteBuffer &b, std::size_t size, Style style)
{
    std::vector<unsigned char> scratch(std::max<std::size_t>(size, 1), 0x5a);
    if (style == Style::Whole) {
        ASSERT_TRUE(b.write(scratch.data(), size));
        ASSERT_EQ(b.read(scratch.data(), size), size);
        return;
    }
    std::mt19937 rng(static_cast<unsigned>(size));
    std::size_t in = 0;
    while (in < size) {
        std::size_t granted = 0;
        unsigned char *block = b.writeBlock(0, &granted);
        ASSERT_NE(block, nullptr);
        std::size_t n = std::min(granted, size - in);
        n = std::min(n, style == Style::Blocks ? ByteBuffer::kMinBlock : 1 + rng() % (1u << 20));
        std::memset(block, 0x5a, n);
        ASSERT_TRUE(b.commit(n));
        in += n;
    }
    while (b.size() > 0) {
        const std::size_t n = style == Style::Blocks ? ByteBuffer::kMinBlock : 1 + rng() % (3u << 20);
        b.read(scratch.data(), n);
    }
}

struct KeepCase {
    const char *name;
    std::vector<std::size_t> fills;
    std::size_t reserve = 0;
    std::size_t capAtEnd = 0;          // 0: the cap stays at 256 MiB
    std::size_t atLeast = 0, atMost = 0; // bounds of allocated() after the fills
};

void PrintTo(const KeepCase &c, std::ostream *os) { *os << c.name; }

class HostBufferKeeps : public ::testing::TestWithParam<std::tuple<KeepCase, Style>> {};

TEST_P(HostBufferKeeps, WhatItLastNeeded)
{
    const auto &[c, style] = GetParam();
    ByteBuffer b(256 * MiB, c.reserve);
    for (std::size_t i = 0; i < c.fills.size(); ++i) {
        if (c.capAtEnd && i + 1 == c.fills.size()) {
            b.setCap(c.capAtEnd);
            b.clear(); // the cap is looked at when the buffer empties
        }
        fill(b, c.fills[i], style);
        ASSERT_EQ(b.size(), 0u);
    }
    EXPECT_GE(b.allocated(), c.atLeast);
    EXPECT_LE(b.allocated(), c.atMost);
}

const KeepCase kKeepCases[] = {
    {"a big fill is kept, no more than it needed and a block", {40 * MiB}, 0, 0, 40 * MiB,
     ByteBuffer::pages(40 * MiB + 2 * ByteBuffer::kMinBlock)},
    {"a growth's overshoot is given back", {33 * MiB}, 0, 0, 33 * MiB,
     ByteBuffer::pages(33 * MiB + 2 * ByteBuffer::kMinBlock)},
    {"one small fill between big ones keeps it", {40 * MiB, 10}, 0, 0, 40 * MiB, 64 * MiB},
    {"two small fills give it back", {40 * MiB, 10, 10}, 0, 0, 0, ByteBuffer::kMapFrom - 1},
    {"a smaller size is kept once two fills needed no more", {40 * MiB, 8 * MiB, 8 * MiB}, 0, 0, 8 * MiB,
     ByteBuffer::pages(8 * MiB + 2 * ByteBuffer::kMinBlock)},
    {"small allocations are always kept", {300 * 1024, 10, 10}, 0, 0, 300 * 1024, ByteBuffer::kMapFrom - 1},
    {"the reserve is kept whatever the need", {40 * MiB, 10, 10}, 2 * MiB, 0, 2 * MiB, 2 * MiB},
    {"the cap bounds what is kept", {40 * MiB, 40 * MiB, 8 * MiB}, 0, 16 * MiB, 8 * MiB, 16 * MiB},
};

INSTANTIATE_TEST_SUITE_P(Fills, HostBufferKeeps,
                         ::testing::Combine(::testing::ValuesIn(kKeepCases),
                                            ::testing::Values(Style::Whole, Style::Blocks, Style::Pieces)),
                         [](const auto &info) {
                             std::string name = std::get<0>(info.param).name;
                             for (char &ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             const Style s = std::get<1>(info.param);
                             return name + (s == Style::Whole ? "_whole" : s == Style::Blocks ? "_blocks" : "_pieces");
                         });

// The same size again costs no allocation: the buffer is neither given back
// nor regrown, so its pages need not be faulted in afresh.
class HostBufferRefill : public ::testing::TestWithParam<std::tuple<std::size_t, Style>> {};

TEST_P(HostBufferRefill, SameSizeAgainAllocatesNothing)
{
    const auto &[size, style] = GetParam();
    ByteBuffer b(256 * MiB);
    fill(b, size, style);
    const std::uint64_t settled = b.allocations();
    const std::size_t held = b.allocated();
    for (int again = 0; again < 3; ++again)
        fill(b, size, style);
    EXPECT_EQ(b.allocations(), settled);
    EXPECT_EQ(b.allocated(), held);
}

INSTANTIATE_TEST_SUITE_P(Sizes, HostBufferRefill,
                         ::testing::Combine(::testing::Values(std::size_t{100'000}, std::size_t{1920u * 1080 * 3 + 20},
                                                              std::size_t{40 * MiB} + 4),
                                            ::testing::Values(Style::Whole, Style::Blocks, Style::Pieces)));

TEST(HostQueue, FifoWithRemovalOfAnyItem)
{
    PointerQueue q;
    int a = 1, b = 2, c = 3;
    EXPECT_EQ(q.dequeue(), nullptr);
    EXPECT_EQ(q.peek(), nullptr);
    ASSERT_TRUE(q.enqueue(&a));
    ASSERT_TRUE(q.enqueue(&b));
    ASSERT_TRUE(q.enqueue(&c));
    EXPECT_EQ(q.size(), 3u);
    EXPECT_EQ(q.peek(), &a);
    EXPECT_TRUE(q.remove(&b));
    EXPECT_FALSE(q.remove(&b));
    EXPECT_EQ(q.dequeue(), &a);
    EXPECT_EQ(q.dequeue(), &c);
    EXPECT_EQ(q.dequeue(), nullptr);
    EXPECT_EQ(q.size(), 0u);
    EXPECT_EQ(a + b + c, 6); // items untouched
}

TEST(HostQueue, RemoveTakesTheFirstOccurrenceOnly)
{
    PointerQueue q;
    int a = 0, b = 0;
    q.enqueue(&a);
    q.enqueue(&b);
    q.enqueue(&a);
    EXPECT_TRUE(q.remove(&a));
    EXPECT_EQ(q.dequeue(), &b);
    EXPECT_EQ(q.dequeue(), &a);
}

// Against a plain list: random enqueues (items repeat), dequeues and removals
// from anywhere. In every other stretch the front stays put (no dequeue, its
// item is never removed), so holes pile up behind it and are squeezed out.
TEST(HostQueue, AgreesWithAPlainListUnderRandomOperations)
{
    PointerQueue q;
    std::deque<void *> model;
    int items[40];
    std::mt19937 rng(7);
    for (int step = 0; step < 200000; ++step) {
        const bool frontStays = (step / 5000) % 2 == 1;
        void *item = &items[rng() % 40];
        const unsigned op = rng() % 16;
        if (op < 7) {
            ASSERT_TRUE(q.enqueue(item));
            model.push_back(item);
        } else if (op < 8) {
            if (frontStays)
                continue;
            void *want = model.empty() ? nullptr : model.front();
            if (!model.empty())
                model.pop_front();
            ASSERT_EQ(q.dequeue(), want) << "step " << step;
        } else {
            if (frontStays && !model.empty() && item == model.front())
                continue;
            auto it = std::find(model.begin(), model.end(), item);
            ASSERT_EQ(q.remove(item), it != model.end()) << "step " << step;
            if (it != model.end())
                model.erase(it);
        }
        ASSERT_EQ(q.size(), model.size()) << "step " << step;
        ASSERT_EQ(q.peek(), model.empty() ? nullptr : model.front()) << "step " << step;
    }
    while (!model.empty()) {
        ASSERT_EQ(q.dequeue(), model.front());
        model.pop_front();
    }
    EXPECT_EQ(q.dequeue(), nullptr);
}
