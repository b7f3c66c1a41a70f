// FIFO of pointers behind the Queue calls of the plug-in interface.
#pragma once

#include <cstddef>
#include <deque>

namespace plughost {

// Never owns or frees the items. Operations that allocate report failure
// instead of throwing, since callers sit behind a C interface.
class PointerQueue {
public:
    bool enqueue(void *item) noexcept;
    void *dequeue() noexcept;
    void *peek() const noexcept { return items_.empty() ? nullptr : items_.front(); }
    bool remove(const void *item) noexcept; // first occurrence
    std::size_t size() const noexcept { return items_.size(); }

private:
    std::deque<void *> items_;
};

} // namespace plughost
