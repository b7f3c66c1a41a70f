#include "byte_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace plughost {

namespace {

std::size_t pageSize()
{
    static const std::size_t size = [] {
        const long page = ::sysconf(_SC_PAGESIZE);
        return page > 0 ? static_cast<std::size_t>(page) : std::size_t{4096};
    }();
    return size;
}

std::size_t doubled(std::size_t n) { return n > SIZE_MAX / 2 ? SIZE_MAX : n * 2; }

void adviseHuge(unsigned char *p, std::size_t bytes)
{
    if (bytes >= ByteBuffer::kHugeFrom)
        ::madvise(p, bytes, MADV_HUGEPAGE); // only a hint: refused, the pages stay small
}

} // namespace

std::size_t ByteBuffer::pages(std::size_t n)
{
    const std::size_t page = pageSize();
    return n > SIZE_MAX - page ? SIZE_MAX / page * page : (n + page - 1) / page * page;
}

ByteBuffer::ByteBuffer(std::size_t cap, std::size_t reserve) : cap_(cap)
{
    reserve = std::min(reserve, cap);
    if (reserve > 0 && reallocate(reserve))
        reserve_ = reserve;
}

ByteBuffer::~ByteBuffer() { release(); }

void ByteBuffer::release()
{
    if (!buf_)
        return;
    if (mapped_)
        ::munmap(buf_, alloc_);
    else
        std::free(buf_);
    buf_ = nullptr;
    alloc_ = 0;
    mapped_ = false;
    ++allocations_;
}

// An allocation for `bytes` of content and room, the content kept. A mapping
// grows or shrinks by mremap, which neither copies nor touches its pages, and
// keeps the content where it is (a front gap stays; it is reclaimed by the
// next compaction or when the buffer empties). Everything else is a fresh
// allocation with the content copied to its start.
bool ByteBuffer::reallocate(std::size_t bytes)
{
    const std::size_t have = size();
    if (bytes >= kMapFrom) {
        if (mapped_) {
            if (head_ > 0 && head_ + bytes > std::max(alloc_, pages(cap_))) {
                std::memmove(buf_, buf_ + head_, have); // only at the cap
                head_ = 0;
                tail_ = have;
            }
            const std::size_t want = pages(head_ + bytes);
            void *p = ::mremap(buf_, alloc_, want, MREMAP_MAYMOVE);
            if (p == MAP_FAILED)
                return false;
            buf_ = static_cast<unsigned char *>(p);
            alloc_ = want;
            adviseHuge(buf_, alloc_);
            ++allocations_;
            return true;
        }
        const std::size_t want = pages(bytes);
        void *p = ::mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return false;
        auto *fresh = static_cast<unsigned char *>(p);
        adviseHuge(fresh, want);
        if (have)
            std::memcpy(fresh, buf_ + head_, have);
        release();
        buf_ = fresh;
        alloc_ = want;
        mapped_ = true;
    } else {
        auto *fresh = static_cast<unsigned char *>(std::malloc(bytes));
        if (!fresh)
            return false;
        if (have)
            std::memcpy(fresh, buf_ + head_, have);
        release();
        buf_ = fresh;
        alloc_ = bytes;
    }
    head_ = 0;
    tail_ = have;
    ++allocations_;
    return true;
}

bool ByteBuffer::makeRoom(std::size_t n)
{
    const std::size_t have = size();
    if (n > cap_ || have > cap_ - n)
        return false;
    need_ = std::max(need_, have + n);
    // Moving the content down is cheap when the front gap is at least as large
    // as the content; each byte moved then pays for a byte reclaimed. It is
    // done when room is short, and also as soon as it holds while the content
    // is small: a stream that is consumed in big pieces (frames) leaves the
    // start of the next piece behind, which only grows until room runs short.
    if (head_ > 0 && head_ >= have && alloc_ - have >= n && (alloc_ - tail_ < n || have <= kSlideSoon)) {
        std::memmove(buf_, buf_ + head_, have);
        head_ = 0;
        tail_ = have;
    }
    if (alloc_ - tail_ >= n)
        return true;
    const std::size_t want = std::min(std::max({doubled(alloc_), have + n, std::size_t{4096}}), cap_);
    return reallocate(want);
}

bool ByteBuffer::write(const void *p, std::size_t n)
{
    block_ = 0;
    if (n == 0)
        return true;
    if (!makeRoom(n))
        return false;
    std::memcpy(buf_ + tail_, p, n);
    tail_ += n;
    return true;
}

// A fill has ended. Nothing asked for since the last time (a clear or a read
// of an empty buffer) is no fill.
void ByteBuffer::keepWhatIsNeeded()
{
    head_ = tail_ = 0;
    if (need_ == 0)
        return;
    // With a block's worth to spare, reading "any amount" near the end of the
    // same content again asks for nothing more.
    const std::size_t needed = std::max(need_, lastNeed_);
    const std::size_t spare = needed > SIZE_MAX - kMinBlock ? SIZE_MAX : needed + kMinBlock;
    lastNeed_ = need_;
    need_ = 0;
    if (!mapped_)
        return; // heap allocations are small: kept
    const std::size_t keep = std::max(std::min(pages(spare), pages(cap_)), pages(reserve_));
    if (keep < kMapFrom) {
        release();
        if (reserve_ > 0)
            reallocate(reserve_);
    } else if (keep < alloc_) {
        ::munmap(buf_ + keep, alloc_ - keep);
        alloc_ = keep;
        ++allocations_;
    }
}

void ByteBuffer::afterConsume()
{
    if (head_ == tail_)
        keepWhatIsNeeded();
}

std::size_t ByteBuffer::read(void *p, std::size_t n)
{
    n = std::min(n, size());
    if (n)
        std::memcpy(p, buf_ + head_, n);
    head_ += n;
    block_ = 0;
    afterConsume();
    return n;
}

std::size_t ByteBuffer::peekAt(void *p, std::size_t at, std::size_t n) const
{
    if (at >= size())
        return 0;
    n = std::min(n, size() - at);
    std::memcpy(p, buf_ + head_ + at, n);
    return n;
}

std::size_t ByteBuffer::remove(std::size_t n)
{
    n = std::min(n, size());
    head_ += n;
    block_ = 0;
    afterConsume();
    return n;
}

bool ByteBuffer::removeAt(std::int64_t pos, std::size_t n)
{
    const std::size_t have = size();
    if (pos < -1 || n > have)
        return false;
    // Unsigned: pos + 1 would overflow for the largest int64_t; -1 wraps to 0.
    const std::size_t first = static_cast<std::size_t>(pos) + 1;
    if (first > have - n)
        return false;
    if (n == 0)
        return true; // nothing to drop (and buf_ may still be null)
    std::memmove(buf_ + head_ + first, buf_ + head_ + first + n, have - first - n);
    tail_ -= n;
    block_ = 0;
    afterConsume();
    return true;
}

unsigned char *ByteBuffer::writeBlock(std::size_t wanted, std::size_t *granted)
{
    block_ = 0;
    *granted = 0;
    const std::size_t room = cap_ - std::min(cap_, size());
    if (room == 0)
        return nullptr;
    const std::size_t need = wanted ? std::min(wanted, room) : std::min(kMinBlock, room);
    if (!makeRoom(need)) {
        // Memory is short: settle for whatever free space there already is.
        if (alloc_ == tail_)
            return nullptr;
    }
    std::size_t free = std::min(alloc_ - tail_, room);
    if (wanted)
        free = std::min(free, wanted);
    if (free == 0)
        return nullptr;
    block_ = free;
    *granted = free;
    return buf_ + tail_;
}

bool ByteBuffer::commit(std::size_t n)
{
    if (n > block_)
        return false;
    tail_ += n;
    block_ -= n;
    need_ = std::max(need_, size());
    return true;
}

void ByteBuffer::clear()
{
    block_ = 0;
    keepWhatIsNeeded();
}

bool ByteBuffer::swap(ByteBuffer &other)
{
    if (size() > other.cap_ || other.size() > cap_)
        return false;
    std::swap(buf_, other.buf_);
    std::swap(alloc_, other.alloc_);
    std::swap(mapped_, other.mapped_);
    std::swap(head_, other.head_);
    std::swap(tail_, other.tail_);
    std::swap(need_, other.need_);
    std::swap(lastNeed_, other.lastNeed_);
    block_ = other.block_ = 0;
    return true;
}

} // namespace plughost
