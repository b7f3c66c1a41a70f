// FIFO of pointers behind the Queue calls of the plug-in interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>

namespace plughost {

// Never owns or frees the items. Operations that allocate report failure
// instead of throwing, since callers sit behind a C interface.
//
// Every operation is O(1) (amortised), removal from the middle included: a
// plug-in that drops a departing client's jobs one by one out of a long
// queue must not pay for the length of the queue each time. Each entry gets
// a sequence number; an index from item to its sequence numbers finds it,
// and a removed entry is left as a hole that the front skips. Holes behind
// a front that does not move are squeezed out once they outnumber the live
// entries, so memory follows the number of items queued.
class PointerQueue {
public:
    bool enqueue(void *item) noexcept;
    void *dequeue() noexcept;
    void *peek() const noexcept { return live_ == 0 ? nullptr : slots_.front().item; }
    bool remove(const void *item) noexcept; // first occurrence
    std::size_t size() const noexcept { return live_; }

private:
    struct Slot {
        void *item;
        bool live;
    };
    void dropHoles() noexcept; // the front slot is live, or there is none
    void compact() noexcept;   // when holes outnumber the live entries

    std::deque<Slot> slots_; // slot i has sequence number first_ + i
    std::uint64_t first_ = 0;
    std::size_t live_ = 0;
    std::unordered_multimap<const void *, std::uint64_t> index_; // item -> sequence numbers
};

} // namespace plughost
