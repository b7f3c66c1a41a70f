// The host calls that plug-ins import: buffers, queues, clients, children.
// Each forwards to the ByteBuffer / PointerQueue / Host that does the work.
// No exception may unwind into a C plug-in: every call catches whatever the
// work throws (std::bad_alloc, in practice), logs it and returns its failure
// value, with nothing changed that the plug-in can see.
#include "export.h"
#include "host.h"
#include "logger.h"

#include <exception>
#include <new>

using plughost::currentHost;

namespace {

template <typename R, typename Call> R guarded(const char *name, R failure, Call &&call) noexcept
{
    try {
        return call();
    } catch (const std::exception &e) {
        plughost::log(LOG_ERROR, "{} failed: {}", name, e.what());
    } catch (...) {
        plughost::log(LOG_ERROR, "{} failed", name);
    }
    return failure;
}

template <typename Call> void guarded(const char *name, Call &&call) noexcept
{
    guarded(name, 0, [&] {
        call();
        return 0;
    });
}

// Tells the host that n bytes were appended to b (ok) or that a write was
// refused. When the host cannot take note, the n bytes are taken back before
// the exception goes on, so the write fails as a whole.
void noteWrite(CBuffer *b, bool ok, size_t n = 0)
{
    plughost::Host *h = currentHost();
    if (!h)
        return;
    try {
        h->bufferWritten(b, ok);
    } catch (...) {
        if (ok && n)
            b->removeAt(static_cast<int64_t>(b->size()) - static_cast<int64_t>(n) - 1, n);
        throw;
    }
}

} // namespace

extern "C" {

HOST_EXPORT CBuffer *CBufferCreate(size_t capacity, int growable)
{
    return guarded("CBufferCreate", static_cast<CBuffer *>(nullptr), [&] {
        plughost::Host *h = currentHost();
        return h ? h->createBuffer(capacity, growable != 0) : nullptr;
    });
}

HOST_EXPORT int64_t CBufferWrite(CBuffer *b, const void *p, size_t n)
{
    return guarded("CBufferWrite", int64_t{-1}, [&]() -> int64_t {
        if (!b || (!p && n))
            return -1;
        const bool ok = b->write(p, n);
        noteWrite(b, ok, n);
        return ok ? static_cast<int64_t>(n) : -1;
    });
}

HOST_EXPORT int64_t CBufferRead(CBuffer *b, void *p, size_t n)
{
    return guarded("CBufferRead", int64_t{-1}, [&]() -> int64_t {
        if (!b || (!p && n))
            return -1;
        return static_cast<int64_t>(b->read(p, n));
    });
}

HOST_EXPORT int64_t CBufferPeekAt(const CBuffer *b, void *p, size_t at, size_t n)
{
    return guarded("CBufferPeekAt", int64_t{-1}, [&]() -> int64_t {
        if (!b || (!p && n) || at > b->size())
            return -1;
        return static_cast<int64_t>(b->peekAt(p, at, n));
    });
}

HOST_EXPORT int64_t CBufferPeek(const CBuffer *b, void *p, size_t n) { return CBufferPeekAt(b, p, 0, n); }

HOST_EXPORT int64_t CBufferRemove(CBuffer *b, size_t n)
{
    return guarded("CBufferRemove", int64_t{-1},
                   [&]() -> int64_t { return b ? static_cast<int64_t>(b->remove(n)) : -1; });
}

HOST_EXPORT int64_t CBufferRemoveAt(CBuffer *b, int64_t pos, size_t n)
{
    return guarded("CBufferRemoveAt", int64_t{-1},
                   [&]() -> int64_t { return b && b->removeAt(pos, n) ? static_cast<int64_t>(n) : -1; });
}

HOST_EXPORT unsigned char *CBufferGetWriteBlock(CBuffer *b, size_t *size)
{
    if (!size)
        return nullptr;
    unsigned char *block = guarded("CBufferGetWriteBlock", static_cast<unsigned char *>(nullptr), [&] {
        unsigned char *granted = b ? b->writeBlock(*size, size) : nullptr;
        if (!granted && b)
            noteWrite(b, false);
        return granted;
    });
    if (!block)
        *size = 0;
    return block;
}

HOST_EXPORT int64_t CBufferCommitBlock(CBuffer *b, size_t n)
{
    return guarded("CBufferCommitBlock", int64_t{-1}, [&]() -> int64_t {
        if (!b || !b->commit(n))
            return -1;
        if (n)
            noteWrite(b, true, n);
        return static_cast<int64_t>(n);
    });
}

HOST_EXPORT size_t CBufferSize(const CBuffer *b) { return b ? b->size() : 0; }

HOST_EXPORT void CBufferClear(CBuffer *b)
{
    guarded("CBufferClear", [&] {
        if (b)
            b->clear();
    });
}

HOST_EXPORT void CBufferDispose(CBuffer *b) { delete b; }

HOST_EXPORT Queue *QueueCreate(void)
{
    return guarded("QueueCreate", static_cast<Queue *>(nullptr), [] { return new Queue; });
}

HOST_EXPORT int QueueEnqueue(Queue *q, void *item)
{
    return guarded("QueueEnqueue", -1, [&] { return q && q->enqueue(item) ? 0 : -1; });
}

HOST_EXPORT void *QueueDequeue(Queue *q)
{
    return guarded("QueueDequeue", static_cast<void *>(nullptr), [&] { return q ? q->dequeue() : nullptr; });
}

HOST_EXPORT void *QueuePeek(const Queue *q)
{
    return guarded("QueuePeek", static_cast<void *>(nullptr), [&] { return q ? q->peek() : nullptr; });
}

HOST_EXPORT int QueueRemove(Queue *q, const void *item)
{
    return guarded("QueueRemove", -1, [&] { return q && q->remove(item) ? 0 : -1; });
}

HOST_EXPORT int QueueSize(const Queue *q) { return q ? static_cast<int>(q->size()) : 0; }

HOST_EXPORT void QueueDispose(Queue *q) { delete q; }

HOST_EXPORT void CloseClient(ClientRecord *client)
{
    guarded("CloseClient", [&] {
        if (plughost::Host *h = currentHost())
            h->closeClient(client);
    });
}

HOST_EXPORT int SpawnExecutable(void *handle, char **argv)
{
    return guarded("SpawnExecutable", int{SPAWN_NO_RESOURCES}, [&] {
        plughost::Host *h = currentHost();
        return h ? h->spawn(handle, argv) : SPAWN_NO_RESOURCES;
    });
}

HOST_EXPORT void AddExecutableStdIn(ExecutableRecord *e)
{
    guarded("AddExecutableStdIn", [&] {
        if (plughost::Host *h = currentHost())
            h->watchStdIn(e, true);
    });
}

HOST_EXPORT void RemoveExecutableStdIn(ExecutableRecord *e)
{
    guarded("RemoveExecutableStdIn", [&] {
        if (plughost::Host *h = currentHost())
            h->watchStdIn(e, false);
    });
}

HOST_EXPORT void SuspendClientInput(ClientRecord *client)
{
    guarded("SuspendClientInput", [&] {
        if (plughost::Host *h = currentHost())
            h->suspendInput(client, true);
    });
}

HOST_EXPORT void ResumeClientInput(ClientRecord *client)
{
    guarded("ResumeClientInput", [&] {
        if (plughost::Host *h = currentHost())
            h->suspendInput(client, false);
    });
}

HOST_EXPORT void SuspendExecutableStdOut(ExecutableRecord *executable)
{
    guarded("SuspendExecutableStdOut", [&] {
        if (plughost::Host *h = currentHost())
            h->suspendStdOut(executable, true);
    });
}

HOST_EXPORT void ResumeExecutableStdOut(ExecutableRecord *executable)
{
    guarded("ResumeExecutableStdOut", [&] {
        if (plughost::Host *h = currentHost())
            h->suspendStdOut(executable, false);
    });
}

HOST_EXPORT int WatchClientOutput(ClientRecord *client, size_t level)
{
    return guarded("WatchClientOutput", -1, [&] {
        plughost::Host *h = currentHost();
        return h ? h->watchOutput(client, level) : -1;
    });
}

HOST_EXPORT int SetTimeout(void *handle, int milliseconds)
{
    return guarded("SetTimeout", -1, [&] {
        plughost::Host *h = currentHost();
        return h ? h->setTimeout(handle, milliseconds) : -1;
    });
}

HOST_EXPORT const char *GetPluginOption(void *handle, const char *key)
{
    return guarded("GetPluginOption", static_cast<const char *>(nullptr), [&] {
        plughost::Host *h = currentHost();
        return h ? h->pluginOption(handle, key) : nullptr;
    });
}

HOST_EXPORT int CBufferSwap(CBuffer *a, CBuffer *b)
{
    return guarded("CBufferSwap", -1, [&] {
        if (!a || !b)
            return -1;
        if (a == b)
            return 0;
        if (!a->swap(*b))
            return -1;
        // A client's OutBuffer that gained content must be flushed.
        try {
            if (a->size())
                noteWrite(a, true);
            if (b->size())
                noteWrite(b, true);
        } catch (...) {
            a->swap(*b);
            throw;
        }
        return 0;
    });
}

HOST_EXPORT const unsigned char *CBufferData(const CBuffer *b) { return b && b->size() ? b->data() : nullptr; }

} // extern "C"
