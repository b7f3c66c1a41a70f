#include "byte_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace plughost {

ByteBuffer::ByteBuffer(std::size_t cap, std::size_t reserve) : cap_(cap)
{
    reserve = std::min(reserve, cap);
    if (reserve > 0) {
        buf_ = static_cast<unsigned char *>(std::malloc(reserve));
        if (buf_)
            alloc_ = reserve;
    }
}

ByteBuffer::~ByteBuffer() { std::free(buf_); }

bool ByteBuffer::makeRoom(std::size_t n)
{
    const std::size_t have = size();
    if (n > cap_ || have > cap_ - n)
        return false;
    if (alloc_ - tail_ >= n)
        return true;
    // Moving the content down is cheap when the front gap is at least as large
    // as the content; each byte moved then pays for a byte reclaimed.
    if (alloc_ - have >= n && head_ >= have) {
        std::memmove(buf_, buf_ + head_, have);
        head_ = 0;
        tail_ = have;
        return true;
    }
    std::size_t want = std::max<std::size_t>(alloc_ ? alloc_ : 4096, 4096);
    while (want < have + n)
        want = want > SIZE_MAX / 2 ? SIZE_MAX : want * 2;
    want = std::min(want, cap_);
    if (want < have + n)
        return false;
    auto *fresh = static_cast<unsigned char *>(std::malloc(want));
    if (!fresh)
        return false;
    if (have)
        std::memcpy(fresh, buf_ + head_, have);
    std::free(buf_);
    buf_ = fresh;
    alloc_ = want;
    head_ = 0;
    tail_ = have;
    return true;
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

void ByteBuffer::afterConsume()
{
    if (head_ == tail_) {
        head_ = tail_ = 0;
        if (alloc_ > kKeepWhenEmpty) {
            std::free(buf_);
            buf_ = nullptr;
            alloc_ = 0;
        }
    }
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
    return true;
}

void ByteBuffer::clear()
{
    head_ = tail_ = 0;
    block_ = 0;
    afterConsume();
}

} // namespace plughost
