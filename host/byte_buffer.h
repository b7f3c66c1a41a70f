// Growable byte buffer behind the CBuffer calls of the plug-in interface.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plughost {

// Content is one contiguous run [head_, tail_) of a single allocation, so a
// write block is always plain free space after the content. Consumed front
// space is reclaimed by moving the content down only when that costs no more
// than the space won: when room runs short, or at the next write while the
// content is at most kSlideSoon (the leftover of a consumed frame is moved
// while it is short, not once the next frame has filled the allocation).
//
// Memory. Growth at least doubles the allocation. Allocations below kMapFrom
// come from the heap; larger ones are mappings of the buffer's own, which
// grow without their pages being copied or touched again (mremap) and go
// back to the system as soon as they are released.
//
// What an emptied buffer keeps: a fill runs from one moment the buffer is
// empty to the next; an emptied buffer keeps the most it needed (content plus
// the room asked for) in its last two fills and a minimum block more, in
// whole pages, at least its reserve and at most its cap. A buffer needed again at the same size is so
// neither given back nor regrown (no fresh pages to fault in), one small fill
// between two big ones (a reply between two versions, a time stamp between
// two frames) does not cost it the big allocation, and a buffer whose need
// has dropped gives the rest back after two fills. Heap allocations are small
// and always kept. Everything goes when the buffer is destroyed.
class ByteBuffer {
public:
    // cap: the content never exceeds it. reserve: bytes to allocate at once
    // and to keep whatever the need.
    explicit ByteBuffer(std::size_t cap, std::size_t reserve = 0);
    ~ByteBuffer();
    ByteBuffer(const ByteBuffer &) = delete;
    ByteBuffer &operator=(const ByteBuffer &) = delete;

    std::size_t size() const { return tail_ - head_; }
    std::size_t cap() const { return cap_; }
    std::size_t allocated() const { return alloc_; }
    // How often memory was acquired or resized (shrinking included).
    std::uint64_t allocations() const { return allocations_; }
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
    // Exchanges the contents, and the memory holding them with its history,
    // with `other`; each keeps its cap and reserve, and pending write blocks
    // are void. No byte is copied. False, nothing changed, when a content is
    // larger than the cap of the buffer it would move to.
    bool swap(ByteBuffer &other);

    // Free space a wanted-0 block asks for at least, when the cap allows.
    static constexpr std::size_t kMinBlock = 64 * 1024;
    // Content up to this size is moved down at the next write once the front
    // gap is as large; longer content only when room runs short.
    static constexpr std::size_t kSlideSoon = 1024 * 1024;
    // Allocations of at least this many bytes are mappings of their own.
    static constexpr std::size_t kMapFrom = 1024 * 1024;
    // Mappings of at least this size are offered transparent huge pages:
    // fewer faults on first use and fewer TLB misses when big contents are
    // copied.
    static constexpr std::size_t kHugeFrom = 4 * 1024 * 1024;

    // Whole pages for n bytes.
    static std::size_t pages(std::size_t n);

private:
    bool makeRoom(std::size_t n); // at least n free bytes after tail_
    bool reallocate(std::size_t bytes); // room for `bytes`, the content kept
    void afterConsume();
    void keepWhatIsNeeded();      // the buffer has just become empty
    void release();

    unsigned char *buf_ = nullptr;
    std::size_t alloc_ = 0;
    bool mapped_ = false;
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    std::size_t cap_;
    std::size_t reserve_ = 0;
    std::size_t block_ = 0;    // bytes granted by the last writeBlock
    std::size_t need_ = 0;     // most needed in the current fill
    std::size_t lastNeed_ = 0; // most needed in the fill before
    std::uint64_t allocations_ = 0;
};

} // namespace plughost
