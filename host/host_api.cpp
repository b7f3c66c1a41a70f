// The host calls that plug-ins import: buffers, queues, clients, children.
// Each forwards to the ByteBuffer / PointerQueue / Host that does the work.
#include "export.h"
#include "host.h"
#include "logger.h"

#include <new>

using plughost::currentHost;

namespace {

void noteWrite(CBuffer *b, bool ok)
{
    if (plughost::Host *h = currentHost())
        h->bufferWritten(b, ok);
}

} // namespace

extern "C" {

HOST_EXPORT CBuffer *CBufferCreate(size_t capacity, int growable)
{
    plughost::Host *h = currentHost();
    return h ? h->createBuffer(capacity, growable != 0) : nullptr;
}

HOST_EXPORT int64_t CBufferWrite(CBuffer *b, const void *p, size_t n)
{
    if (!b || (!p && n))
        return -1;
    const bool ok = b->write(p, n);
    noteWrite(b, ok);
    return ok ? static_cast<int64_t>(n) : -1;
}

HOST_EXPORT int64_t CBufferRead(CBuffer *b, void *p, size_t n)
{
    if (!b || (!p && n))
        return -1;
    return static_cast<int64_t>(b->read(p, n));
}

HOST_EXPORT int64_t CBufferPeekAt(const CBuffer *b, void *p, size_t at, size_t n)
{
    if (!b || (!p && n) || at > b->size())
        return -1;
    return static_cast<int64_t>(b->peekAt(p, at, n));
}

HOST_EXPORT int64_t CBufferPeek(const CBuffer *b, void *p, size_t n)
{
    return CBufferPeekAt(b, p, 0, n);
}

HOST_EXPORT int64_t CBufferRemove(CBuffer *b, size_t n)
{
    return b ? static_cast<int64_t>(b->remove(n)) : -1;
}

HOST_EXPORT int64_t CBufferRemoveAt(CBuffer *b, int64_t pos, size_t n)
{
    return b && b->removeAt(pos, n) ? static_cast<int64_t>(n) : -1;
}

HOST_EXPORT unsigned char *CBufferGetWriteBlock(CBuffer *b, size_t *size)
{
    if (!size)
        return nullptr;
    if (!b) {
        *size = 0;
        return nullptr;
    }
    unsigned char *block = b->writeBlock(*size, size);
    if (!block)
        noteWrite(b, false);
    return block;
}

HOST_EXPORT int64_t CBufferCommitBlock(CBuffer *b, size_t n)
{
    if (!b || !b->commit(n))
        return -1;
    if (n)
        noteWrite(b, true);
    return static_cast<int64_t>(n);
}

HOST_EXPORT size_t CBufferSize(const CBuffer *b) { return b ? b->size() : 0; }

HOST_EXPORT void CBufferClear(CBuffer *b)
{
    if (b)
        b->clear();
}

HOST_EXPORT void CBufferDispose(CBuffer *b) { delete b; }

HOST_EXPORT Queue *QueueCreate(void) { return new (std::nothrow) Queue; }

HOST_EXPORT int QueueEnqueue(Queue *q, void *item) { return q && q->enqueue(item) ? 0 : -1; }

HOST_EXPORT void *QueueDequeue(Queue *q) { return q ? q->dequeue() : nullptr; }

HOST_EXPORT void *QueuePeek(const Queue *q) { return q ? q->peek() : nullptr; }

HOST_EXPORT int QueueRemove(Queue *q, const void *item) { return q && q->remove(item) ? 0 : -1; }

HOST_EXPORT int QueueSize(const Queue *q) { return q ? static_cast<int>(q->size()) : 0; }

HOST_EXPORT void QueueDispose(Queue *q) { delete q; }

HOST_EXPORT void CloseClient(ClientRecord *client)
{
    if (plughost::Host *h = currentHost())
        h->closeClient(client);
}

HOST_EXPORT int SpawnExecutable(void *handle, char **argv)
{
    plughost::Host *h = currentHost();
    return h ? h->spawn(handle, argv) : SPAWN_NO_RESOURCES;
}

HOST_EXPORT void AddExecutableStdIn(ExecutableRecord *e)
{
    if (plughost::Host *h = currentHost())
        h->watchStdIn(e, true);
}

HOST_EXPORT void RemoveExecutableStdIn(ExecutableRecord *e)
{
    if (plughost::Host *h = currentHost())
        h->watchStdIn(e, false);
}

HOST_EXPORT void SuspendClientInput(ClientRecord *client)
{
    if (plughost::Host *h = currentHost())
        h->suspendInput(client, true);
}

HOST_EXPORT void ResumeClientInput(ClientRecord *client)
{
    if (plughost::Host *h = currentHost())
        h->suspendInput(client, false);
}

HOST_EXPORT void SuspendExecutableStdOut(ExecutableRecord *executable)
{
    if (plughost::Host *h = currentHost())
        h->suspendStdOut(executable, true);
}

HOST_EXPORT void ResumeExecutableStdOut(ExecutableRecord *executable)
{
    if (plughost::Host *h = currentHost())
        h->suspendStdOut(executable, false);
}

HOST_EXPORT int WatchClientOutput(ClientRecord *client, size_t level)
{
    plughost::Host *h = currentHost();
    return h ? h->watchOutput(client, level) : -1;
}

HOST_EXPORT int SetTimeout(void *handle, int milliseconds)
{
    plughost::Host *h = currentHost();
    return h ? h->setTimeout(handle, milliseconds) : -1;
}

HOST_EXPORT const char *GetPluginOption(void *handle, const char *key)
{
    plughost::Host *h = currentHost();
    return h ? h->pluginOption(handle, key) : nullptr;
}

} // extern "C"
