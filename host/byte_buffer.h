// Growable byte buffer behind the CBuffer calls of the plug-in interface.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plughost {

// Content is one contiguous run [head_, tail_) of a single allocation, so a
// write block is always plain free space after the content. Growth doubles the
// allocation (amortised O(1) per byte); consumed front space is reclaimed by
// moving the content down only when that costs no more than the space won.
class ByteBuffer {
public:
    // cap: the content never exceeds it. reserve: bytes to allocate at once.
    explicit ByteBuffer(std::size_t cap, std::size_t reserve = 0);
    ~ByteBuffer();
    ByteBuffer(const ByteBuffer &) = delete;
    ByteBuffer &operator=(const ByteBuffer &) = delete;

    std::size_t size() const { return tail_ - head_; }
    std::size_t cap() const { return cap_; }
    std::size_t allocated() const { return alloc_; }
    void setCap(std::size_t cap) { cap_ = cap; }
    const unsigned char *data() const { return buf_ + head_; }

    bool write(const void *p, std::size_t n);                  // all or nothing
    std::size_t read(void *p, std::size_t n);                  // min(n, size)
    std::size_t peekAt(void *p, std::size_t at, std::size_t n) const;
    std::size_t remove(std::size_t n);                         // min(n, size)
    bool removeAt(std::int64_t pos, std::size_t n);            // bytes pos+1 .. pos+n
    // wanted 0: any amount. Returns null when nothing can be had.
    unsigned char *writeBlock(std::size_t wanted, std::size_t *granted);
    bool commit(std::size_t n);
    void clear();

    // Free space a wanted-0 block asks for at least, when the cap allows.
    static constexpr std::size_t kMinBlock = 64 * 1024;
    // An emptied buffer keeps at most this much memory: enough for a full-HD
    // frame, so a client streaming frames does not regrow (and re-fault) its
    // buffer for each one; anything larger is given back.
    static constexpr std::size_t kKeepWhenEmpty = 16 * 1024 * 1024;

private:
    bool makeRoom(std::size_t n); // at least n free bytes after tail_
    void afterConsume();

    unsigned char *buf_ = nullptr;
    std::size_t alloc_ = 0;
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    std::size_t cap_;
    std::size_t block_ = 0; // bytes granted by the last writeBlock
};

} // namespace plughost
