// Fuzzes plughost::ByteBuffer against a std::string model: every sequence of
// write, read, peekAt, remove, removeAt, writeBlock + commit, clear and setCap
// must leave exactly the model's bytes. Also checked after every operation:
// the results and counts the interface promises, a write block of
// 1 <= granted <= wanted bytes that is null only when the buffer is at its
// cap, and memory that grows only up to the cap (in whole pages). And what
// an emptied buffer keeps: no more than its last two fills needed (plus a
// block, in whole pages), its reserve, or a small heap allocation; and a
// fill that only adds to an emptied buffer and needs no more than it kept
// allocates nothing.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "byte_buffer.h"

#define CHECK(cond, ...)                                                                          \
    do {                                                                                          \
        if (!(cond)) {                                                                            \
            std::fprintf(stderr, "invariant broken (line %d): ", __LINE__);                       \
            std::fprintf(stderr, __VA_ARGS__);                                                    \
            std::fprintf(stderr, "\n");                                                           \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

namespace {

// Bytes for a write of n: cheap to make for large n, different per write.
std::string bytes(std::size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i++)
        s[i] = static_cast<char>(seed + i * 31 + (i >> 8));
    return s;
}

std::size_t pickSize(FuzzedDataProvider &in, std::size_t around)
{
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
        return 0;
    case 1:
        return around;
    case 2:
        return around + 1;
    case 3:
        return around > 0 ? around - 1 : 0;
    case 4:
        return in.ConsumeIntegralInRange<std::size_t>(0, 300000);
    default:
        return in.ConsumeIntegralInRange<std::size_t>(0, 64);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    static const std::size_t caps[] = {0, 1, 7, 4096, 65536, 70000, 300000, 1u << 20, (2u << 20) + 3};
    std::size_t cap = caps[in.ConsumeIntegralInRange<std::size_t>(0, std::size(caps) - 1)];
    std::size_t reserve = pickSize(in, cap);
    plughost::ByteBuffer b(cap, reserve);
    std::string model;
    using plughost::ByteBuffer;
    const std::size_t reserved = std::min(reserve, cap);
    std::size_t lastAlloc = b.allocated();
    CHECK(lastAlloc <= ByteBuffer::pages(cap), "reserved %zu over cap %zu", lastAlloc, cap);
    unsigned seed = 1;
    std::string scratch;
    // Fills, as the buffer counts them: from one emptying to the next. need:
    // the most content plus room asked for in the fill; previous: the same
    // of the fill before. pure: nothing consumed since the buffer emptied.
    std::size_t need = 0, previous = 0;
    bool pure = true;
    std::size_t heldAtEmpty = b.allocated();
    uint64_t allocationsAtEmpty = b.allocations();
    auto asked = [&](std::size_t n) { need = std::max(need, model.size() + n); };

    for (int step = 0; step < 300 && in.remaining_bytes() > 0; step++) {
        const std::size_t sizeBefore = model.size(), allocatedBefore = b.allocated();
        bool emptying = false; // the operation may end a fill
        switch (in.ConsumeIntegralInRange(0, 10)) {
        case 0: { // write
            std::size_t n = pickSize(in, b.cap() - std::min(b.cap(), model.size()));
            std::string s = bytes(n, seed++);
            bool fits = model.size() + n <= b.cap();
            bool ok = b.write(s.data(), n);
            CHECK(ok == fits, "write of %zu at size %zu cap %zu: %d", n, model.size(), b.cap(), ok);
            if (ok && n > 0)
                asked(n);
            if (ok)
                model += s;
            break;
        }
        case 1: { // read
            std::size_t n = pickSize(in, model.size());
            scratch.assign(n, '\0');
            std::size_t got = b.read(scratch.data(), n);
            std::size_t want = std::min(n, model.size());
            CHECK(got == want, "read %zu of %zu: %zu", n, model.size(), got);
            CHECK(scratch.compare(0, got, model, 0, got) == 0, "read bytes differ");
            model.erase(0, got);
            emptying = true;
            break;
        }
        case 2: { // peekAt
            std::size_t at = pickSize(in, model.size());
            std::size_t n = pickSize(in, model.size() - std::min(at, model.size()));
            scratch.assign(n, '\0');
            std::size_t got = b.peekAt(scratch.data(), at, n);
            std::size_t want = at >= model.size() ? 0 : std::min(n, model.size() - at);
            CHECK(got == want, "peekAt %zu,%zu of %zu: %zu", at, n, model.size(), got);
            CHECK(got == 0 || scratch.compare(0, got, model, at, got) == 0, "peeked bytes differ");
            break;
        }
        case 3: { // remove
            std::size_t n = pickSize(in, model.size());
            std::size_t got = b.remove(n);
            CHECK(got == std::min(n, model.size()), "remove %zu of %zu: %zu", n, model.size(), got);
            model.erase(0, got);
            emptying = true;
            break;
        }
        case 4: { // removeAt, mostly the "last n appended" convention
            std::size_t n = pickSize(in, model.size() / 2);
            int64_t pos;
            switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0:
                pos = static_cast<int64_t>(model.size()) - static_cast<int64_t>(n) - 1;
                break;
            case 1:
                pos = in.ConsumeIntegralInRange<int64_t>(-3, static_cast<int64_t>(model.size()) + 2);
                break;
            case 2:
                pos = in.ConsumeIntegral<int64_t>();
                break;
            default:
                pos = -1;
                break;
            }
            bool valid = pos >= -1 && n <= model.size() &&
                         static_cast<uint64_t>(pos) + 1 + n <= static_cast<uint64_t>(model.size());
            bool ok = b.removeAt(pos, n);
            CHECK(ok == valid, "removeAt %lld,%zu of %zu: %d", static_cast<long long>(pos), n, model.size(), ok);
            if (ok && n > 0) {
                model.erase(static_cast<std::size_t>(pos + 1), n);
                emptying = true;
            }
            break;
        }
        case 5:
        case 6: { // writeBlock, fill, commit (sometimes more than granted)
            std::size_t wanted = in.ConsumeBool() ? 0 : pickSize(in, b.cap() - std::min(b.cap(), model.size()));
            std::size_t granted = 12345;
            unsigned char *block = b.writeBlock(wanted, &granted);
            std::size_t room = b.cap() - std::min(b.cap(), model.size());
            if (room > 0)
                asked(wanted ? std::min(wanted, room) : std::min(ByteBuffer::kMinBlock, room));
            if (!block) {
                CHECK(granted == 0, "null block with %zu granted", granted);
                CHECK(room == 0, "null block with %zu bytes of room (wanted %zu)", room, wanted);
                CHECK(!b.commit(1), "commit after a null block");
                break;
            }
            CHECK(granted >= 1 && granted <= room, "granted %zu with room %zu", granted, room);
            CHECK(wanted == 0 || granted <= wanted, "granted %zu of %zu wanted", granted, wanted);
            std::string s = bytes(granted, seed++);
            std::memcpy(block, s.data(), granted);
            std::size_t n = pickSize(in, granted);
            bool ok = b.commit(n);
            CHECK(ok == (n <= granted), "commit %zu of %zu granted: %d", n, granted, ok);
            if (ok)
                model += s.substr(0, n);
            asked(0); // a commit can go beyond the room asked for, up to what was granted
            break;
        }
        case 7: // commit after another call has ended the block
            b.remove(0);
            emptying = true;
            CHECK(!b.commit(in.ConsumeIntegralInRange<std::size_t>(1, 100)), "commit without a block");
            CHECK(b.commit(0), "commit of 0");
            break;
        case 8:
            b.clear();
            model.clear();
            emptying = true;
            break;
        case 9: { // setCap, never below the content
            std::size_t c = caps[in.ConsumeIntegralInRange<std::size_t>(0, std::size(caps) - 1)];
            if (c >= model.size())
                b.setCap(c);
            break;
        }
        default: { // interleaved write and read of a whole block, as a pipe would
            std::size_t n = std::min<std::size_t>(b.cap() - std::min(b.cap(), model.size()), 4096);
            std::string s = bytes(n, seed++);
            CHECK(b.write(s.data(), n), "write of %zu into room", n);
            if (n > 0)
                asked(n);
            model += s;
            std::size_t got = b.read(scratch.data(), 0);
            CHECK(got == 0, "read of 0: %zu", got);
            emptying = true;
            break;
        }
        }
        if (emptying && model.empty()) {
            if (need > 0) { // a fill has ended: what is kept
                const std::size_t kept =
                    std::max(ByteBuffer::pages(std::max(need, previous) + ByteBuffer::kMinBlock),
                             ByteBuffer::pages(reserved));
                CHECK(b.allocated() <= kept || b.allocated() < ByteBuffer::kMapFrom,
                      "emptied, %zu kept after fills that needed %zu and %zu", b.allocated(), need, previous);
                // ... and what they needed, out of what it had, when that is a mapping's worth.
                const std::size_t needed = std::min(ByteBuffer::pages(std::max(need, previous)), allocatedBefore);
                if (needed >= ByteBuffer::kMapFrom && needed <= b.cap())
                    CHECK(b.allocated() >= needed, "emptied, only %zu of %zu kept after fills that needed %zu and %zu",
                          b.allocated(), allocatedBefore, need, previous);
                previous = need;
                need = 0;
            }
            pure = true;
            heldAtEmpty = b.allocated();
            allocationsAtEmpty = b.allocations();
        } else if (emptying && model.size() < sizeBefore) {
            pure = false; // consumed: the content may no longer start at the front
        }
        if (pure && need <= heldAtEmpty)
            CHECK(b.allocations() == allocationsAtEmpty, "a fill needing %zu of the %zu kept allocated", need,
                  heldAtEmpty);
        else
            pure = false;
        CHECK(b.size() == model.size(), "size %zu, model %zu", b.size(), model.size());
        CHECK(model.empty() || std::memcmp(b.data(), model.data(), model.size()) == 0, "content differs");
        if (b.allocated() != lastAlloc) {
            CHECK(b.allocated() <= std::max(ByteBuffer::pages(b.cap()), ByteBuffer::pages(reserved)),
                  "allocated %zu over cap %zu", b.allocated(), b.cap());
            lastAlloc = b.allocated();
        }
        CHECK(b.size() <= b.allocated() || b.size() == 0, "size %zu in %zu allocated", b.size(), b.allocated());
    }
    return 0;
}
