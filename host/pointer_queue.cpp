#include "pointer_queue.h"

#include <algorithm>
#include <new>

namespace plughost {

bool PointerQueue::enqueue(void *item) noexcept
{
    try {
        items_.push_back(item);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

void *PointerQueue::dequeue() noexcept
{
    if (items_.empty())
        return nullptr;
    void *item = items_.front();
    items_.pop_front();
    return item;
}

bool PointerQueue::remove(const void *item) noexcept
{
    auto it = std::find(items_.begin(), items_.end(), item);
    if (it == items_.end())
        return false;
    items_.erase(it);
    return true;
}

} // namespace plughost
