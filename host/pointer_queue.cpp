#include "pointer_queue.h"

#include <new>

namespace plughost {

bool PointerQueue::enqueue(void *item) noexcept
{
    try {
        const std::uint64_t seq = first_ + slots_.size();
        auto at = index_.emplace(item, seq);
        try {
            slots_.push_back({item, true});
        } catch (const std::bad_alloc &) {
            index_.erase(at);
            return false;
        }
        ++live_;
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

void PointerQueue::dropHoles() noexcept
{
    while (!slots_.empty() && !slots_.front().live) {
        slots_.pop_front();
        ++first_;
    }
}

void *PointerQueue::dequeue() noexcept
{
    if (live_ == 0)
        return nullptr;
    void *item = slots_.front().item;
    // The front entry is the item's oldest: drop exactly that sequence number.
    auto [from, to] = index_.equal_range(item);
    for (auto it = from; it != to; ++it) {
        if (it->second == first_) {
            index_.erase(it);
            break;
        }
    }
    slots_.pop_front();
    ++first_;
    --live_;
    dropHoles();
    return item;
}

bool PointerQueue::remove(const void *item) noexcept
{
    auto [from, to] = index_.equal_range(item);
    if (from == to)
        return false;
    auto oldest = from;
    for (auto it = from; it != to; ++it)
        if (it->second < oldest->second)
            oldest = it;
    slots_[static_cast<std::size_t>(oldest->second - first_)].live = false;
    index_.erase(oldest);
    --live_;
    dropHoles();
    if (slots_.size() > 2 * live_ + 64)
        compact();
    return true;
}

// The live slots keep their order and get fresh numbers. O(size), paid for
// by the holes made since the last time.
void PointerQueue::compact() noexcept
{
    std::unordered_multimap<const void *, std::uint64_t> fresh;
    try {
        fresh.reserve(live_);
        std::uint64_t seq = 0;
        for (const Slot &s : slots_)
            if (s.live)
                fresh.emplace(s.item, seq++);
    } catch (const std::bad_alloc &) {
        return; // left as it is: still right, only larger
    }
    std::size_t to = 0;
    for (std::size_t from = 0; from < slots_.size(); ++from)
        if (slots_[from].live)
            slots_[to++] = slots_[from];
    slots_.resize(to);
    first_ = 0;
    index_.swap(fresh);
}

} // namespace plughost
