/*
 * plugin_api.h - the boundary between plughost and its plug-ins.
 *
 * Valid C (C99 and later) and C++. A plug-in is a shared library that exports
 * the six entry points declared at the end of this file; the host exports
 * every other function and the two data objects declared here, and the
 * plug-in resolves them against the host executable when it is loaded.
 *
 * Threading: the host calls every plug-in export from its single event
 * thread, one call at a time. Plug-ins must not block, start threads or call
 * host functions from any other thread.
 *
 * Ownership: the host owns every ClientRecord, ExecutableRecord, CBuffer it
 * hands out for a client, and every descriptor. A plug-in owns the buffers
 * and queues it creates and must dispose of them itself.
 */
#ifndef PLUGHOST_PLUGIN_API_H
#define PLUGHOST_PLUGIN_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Records
 * ------------------------------------------------------------------------ */

typedef struct CBuffer CBuffer; /* growable byte buffer, opaque */
typedef struct Queue Queue;     /* FIFO of pointers, opaque */
typedef struct HostLogger HostLogger;

/* One connected client. The host keeps the record valid until the plug-in
 * has returned from ClientHandler(record, CLIENT_CLOSED). */
typedef struct ClientRecord {
    void *Host;         /* the host's own bookkeeping; plug-ins never touch it */
    CBuffer *InBuffer;  /* bytes received and not yet consumed */
    CBuffer *OutBuffer; /* bytes to send; flushed after every plug-in call */
} ClientRecord;

/* One child started with SpawnExecutable. Valid until the plug-in has
 * returned from ExecutableHandler(record, EXECUTABLE_EXITED). */
typedef struct ExecutableRecord {
    char **Argv;    /* the host's copy of the argument vector, null-terminated */
    int32_t Pid;    /* process id, > 0 */
    int32_t StdIn;  /* write end of the child's standard input, non-blocking */
    int32_t StdOut; /* read end of the child's standard output, non-blocking */
    int32_t Status; /* exit code, or 128 + signal number; valid at EXITED */
} ExecutableRecord;

/* ClientHandler kinds */
enum ClientEvent {
    CLIENT_CONNECTED = 0, /* accepted; buffers are empty */
    CLIENT_CLOSED = 1,    /* gone; delivered exactly once, last event */
    CLIENT_DATA = 2       /* bytes were appended to InBuffer */
};

/* ExecutableHandler kinds */
enum ExecutableEvent {
    EXECUTABLE_EXITED = 0,      /* reaped; every byte of StdOut was offered first */
    EXECUTABLE_READABLE = 1,    /* StdOut has data or is at end of file */
    EXECUTABLE_WRITE_READY = 2  /* StdIn can take bytes (only while enabled) */
};

/* ------------------------------------------------------------------------
 * Byte buffer. Sizes are byte counts; every buffer has a size cap (see
 * CBufferCreate) that no operation exceeds.
 * ------------------------------------------------------------------------ */

/* Creates an empty buffer.
 *   capacity: bytes to reserve at once (0: reserve nothing until first use).
 *   growable: non-zero lets the buffer grow (amortised doubling) up to the
 *             host's cap for plug-in buffers (--max-output); zero fixes its
 *             size cap at `capacity`.
 * Returns null when memory cannot be had. CBufferCreate(0, 1) is an empty
 * growable buffer that holds no memory until the first write. */
CBuffer *CBufferCreate(size_t capacity, int growable);

/* Appends n bytes. Returns n, or -1 (nothing appended) when the cap would be
 * exceeded or memory cannot be had. */
int64_t CBufferWrite(CBuffer *b, const void *p, size_t n);

/* Moves min(n, size) bytes from the front into p. Returns that count. */
int64_t CBufferRead(CBuffer *b, void *p, size_t n);

/* Copy min(n, size) bytes (from the front, or from offset `at`) without
 * consuming them. Return the count copied; -1 when `at` is past the end. */
int64_t CBufferPeek(const CBuffer *b, void *p, size_t n);
int64_t CBufferPeekAt(const CBuffer *b, void *p, size_t at, size_t n);

/* Drops min(n, size) bytes from the front. Returns that count. */
int64_t CBufferRemove(CBuffer *b, size_t n);

/* Drops the n bytes that follow position `pos`, that is bytes pos+1 ...
 * pos+n. With pos = size - n - 1 this drops exactly the n bytes appended
 * last (pos is then -1 when n equals the size). Returns n, or -1 with the
 * buffer unchanged when the range is not inside the content. */
int64_t CBufferRemoveAt(CBuffer *b, int64_t pos, size_t n);

/* Free space at the end of the content, for reading straight into it.
 *   in  *size: the bytes wanted, 0 for "as many as convenient";
 *   out *size: the bytes granted, 1 <= granted <= wanted (when wanted > 0).
 * Returns null (and *size 0) when no byte can be had under the cap or memory
 * fails. The block stays valid until the next call on the buffer; bytes in it
 * become content only through CBufferCommitBlock. */
unsigned char *CBufferGetWriteBlock(CBuffer *b, size_t *size);

/* Makes the first n bytes of the last write block content. Returns n, or -1
 * when n exceeds the block granted last. */
int64_t CBufferCommitBlock(CBuffer *b, size_t n);

size_t CBufferSize(const CBuffer *b);
void CBufferClear(CBuffer *b);   /* drops all content, keeps the memory */
void CBufferDispose(CBuffer *b); /* null is accepted */

/* ------------------------------------------------------------------------
 * Queue of pointers. Never frees the items.
 * ------------------------------------------------------------------------ */

Queue *QueueCreate(void);                  /* null when memory fails */
int QueueEnqueue(Queue *q, void *item);    /* 0, or -1 when memory fails */
void *QueueDequeue(Queue *q);              /* oldest item, or null when empty */
void *QueuePeek(const Queue *q);           /* oldest item, or null when empty */
int QueueRemove(Queue *q, const void *item); /* 0 removed, -1 not queued */
int QueueSize(const Queue *q);
void QueueDispose(Queue *q);               /* null is accepted */

/* ------------------------------------------------------------------------
 * Log. Levels: 1 fatal, 2 error, 3 warn, 4 info, 5 debug. A message is
 * written when its level is at most the configured level.
 * ------------------------------------------------------------------------ */

enum LogLevel {
    LOG_FATAL = 1,
    LOG_ERROR = 2,
    LOG_WARN = 3,
    LOG_INFO = 4,
    LOG_DEBUG = 5
};

extern HostLogger *Logger;           /* pass to every Log call */
extern const char *ModuleDirectory;  /* absolute, no trailing '/' */

int LogIsFatal(HostLogger *l);
int LogIsError(HostLogger *l);
int LogIsWarn(HostLogger *l);
int LogIsInfo(HostLogger *l);
int LogIsDebug(HostLogger *l);
int LogGetLevel(HostLogger *l);
long long LogGetMaxSize(HostLogger *l); /* bytes at which the log rotates */
void LogMessage(HostLogger *l, int level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* ------------------------------------------------------------------------
 * Clients and children
 * ------------------------------------------------------------------------ */

/* Requests a close. May be called any number of times. CLIENT_CLOSED follows
 * after the current plug-in call returns; what is in OutBuffer by then is
 * still sent first (bounded by a timeout). */
void CloseClient(ClientRecord *client);

/* SpawnExecutable results besides a pid (> 0). Never -1 or -2. */
#define SPAWN_NOT_EXECUTABLE (-3) /* program missing or not executable */
#define SPAWN_NO_RESOURCES (-4)   /* pipes, process creation or memory */

/* Starts argv[0] (a path when it contains '/', else looked up in PATH) with
 * non-blocking pipes on its standard input and output; standard error is
 * inherited. The host copies argv; the caller may free its own at once.
 * Before the child runs, the host puts one start byte into its standard
 * output pipe, so the first byte a plug-in reads from a child is always that
 * byte. Events go to the ExecutableHandler of the plug-in whose Initialize
 * received `handle`. Returns the pid, or a SPAWN_* code. */
int SpawnExecutable(void *handle, char **argv);

/* Switch EXECUTABLE_WRITE_READY events for the child's StdIn on and off. */
void AddExecutableStdIn(ExecutableRecord *e);
void RemoveExecutableStdIn(ExecutableRecord *e);

/* ------------------------------------------------------------------------
 * Reply codes: 32-bit words sent to clients in big-endian byte order.
 * ------------------------------------------------------------------------ */

enum ReplyCode {
    REPLY_OK = 0,
    REPLY_DVL_NO_MEMORY = 18,    /* file-watch plug-in: no memory or buffer */
    REPLY_INTERNAL = 19,         /* internal failure; viewer state -2 */
    REPLY_VIEWER_3 = 20,         /* viewer state -3 */
    REPLY_VIEWER_4 = 21,         /* viewer state -4 */
    REPLY_VIEWER_127 = 22,       /* viewer state -5: viewer exited with 127 */
    REPLY_VIEWER_ARGV = 23,      /* viewer state -1; watcher output read failed */
    REPLY_READ_FAILED = 24,      /* viewer state -6; this job's read failed */
    REPLY_WRITE_FAILED = 25,     /* viewer state -7; job write failed; watcher exited */
    REPLY_KEY_MISMATCH = 26,     /* key presented does not match */
    REPLY_NO_KEY_ISSUED = 27,    /* non-zero key while none is issued */
    REPLY_CLOCK_FAILED = 28,     /* server clock could not be read */
    REPLY_VIEWER_OTHER = 29,     /* other negative viewer state; exit 0 mid-job */

    /* The same values by what they mean to the file-watch plug-in's clients. */
    REPLY_DVL_STARTED = REPLY_OK,                 /* the second 0: the watcher started */
    REPLY_DVL_WATCHER_FAILED = REPLY_VIEWER_ARGV, /* its output could not be read or framed; it is stopped */
    REPLY_DVL_WATCHER_EXITED = REPLY_WRITE_FAILED /* the watcher ended, whatever its status */
};

/* ------------------------------------------------------------------------
 * What a plug-in exports (all six are required)
 * ------------------------------------------------------------------------ */

typedef void (*InitializeFn)(void *handle);       /* first call */
typedef void (*DisposeFn)(void);                  /* last call */
typedef int (*ClientHandlerFn)(ClientRecord *client, int kind);
typedef int (*ExecutableHandlerFn)(ExecutableRecord *executable, int kind);
typedef int (*TimeoutHandlerFn)(void *unused);    /* called (with null) only after SetTimeout */
typedef int (*IOHandlerFn)(void *unused);         /* never called by plughost */

#if defined(__GNUC__)
#define PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define PLUGIN_EXPORT
#endif

/* Prototypes, so a plug-in's definitions are checked against the contract.
 * ClientHandler and ExecutableHandler return 0; other kinds are ignored. */
PLUGIN_EXPORT void Initialize(void *handle);
PLUGIN_EXPORT void Dispose(void);
PLUGIN_EXPORT int ClientHandler(ClientRecord *client, int kind);
PLUGIN_EXPORT int ExecutableHandler(ExecutableRecord *executable, int kind);
PLUGIN_EXPORT int TimeoutHandler(void *unused);
PLUGIN_EXPORT int IOHandler(void *unused);

/* ------------------------------------------------------------------------
 * Flow control, timers and settings. Declared after everything above, which
 * is unchanged: a plug-in built without these calls loads as before, never
 * receives the event they arm, and is never called through TimeoutHandler.
 * ------------------------------------------------------------------------ */

/* Stop and restart reading a client's socket. While suspended the host reads
 * nothing from it, so TCP pushes back on the sender, and delivers no
 * CLIENT_DATA; what already is in InBuffer stays there, and is not announced
 * again on resuming (bytes still in the socket then come as CLIENT_DATA). A
 * reset, a hang-up or the end of the peer's sending is still noticed and
 * delivered as CLIENT_CLOSED. Both calls are idempotent and cost at most one
 * system call; a record that is not an open client is ignored. */
void SuspendClientInput(ClientRecord *client);
void ResumeClientInput(ClientRecord *client);

/* Stop and restart reading a child's standard output. While suspended no
 * EXECUTABLE_READABLE is delivered: the pipe fills up and the child blocks in
 * its write. The child's exit is still delivered, at once, without offering
 * what is left in the pipe. Idempotent, at most one system call. */
void SuspendExecutableStdOut(ExecutableRecord *executable);
void ResumeExecutableStdOut(ExecutableRecord *executable);

/* ClientHandler kind, only after WatchClientOutput: the client's OutBuffer
 * has drained to the level asked for. */
#define CLIENT_OUTPUT_LOW 3

/* Arms one CLIENT_OUTPUT_LOW event: delivered once, when the host has sent
 * from the client's OutBuffer and it holds at most `level` bytes; right after
 * the current plug-in call when it holds no more than that already. A new
 * call replaces the level. Not delivered once the client is closing. Returns
 * 0, or -1 for a record that is not an open client. */
int WatchClientOutput(ClientRecord *client, size_t level);

/* Calls TimeoutHandler(NULL) of the plug-in whose Initialize received
 * `handle` once `milliseconds` (0 or more) have passed: from the event loop,
 * after the events of the current loop turn, never from inside another
 * plug-in call. One timeout per plug-in: a new call replaces the pending one,
 * a negative value cancels it. Returns 0, or -1 for an unknown handle. */
int SetTimeout(void *handle, int milliseconds);

/* The value of the plug-in setting `key`, given to plughost as
 * --plugin-option NAME.KEY=VALUE for the plug-in NAME whose Initialize
 * received `handle`; null when it was not given (or for an unknown handle).
 * Valid until Dispose has returned. Read settings in Initialize: plughost
 * warns about settings no plug-in asked for by then. */
const char *GetPluginOption(void *handle, const char *key);

/* ------------------------------------------------------------------------
 * Buffers without copies. Declared last, like the calls above them.
 * ------------------------------------------------------------------------ */

/* Exchanges the contents of a and b together with the memory that holds
 * them: no byte is copied. Each buffer keeps its own cap, and a write block
 * granted on either is void. Returns 0, or -1 with both unchanged when a
 * content is larger than the cap of the buffer it would move to (or a
 * buffer is null). Meant for taking a large request out of a client's
 * InBuffer: exchange it with an empty buffer of the plug-in's own, then
 * write back whatever followed the request. */
int CBufferSwap(CBuffer *a, CBuffer *b);

/* The content as one contiguous run of CBufferSize(b) bytes, for writing it
 * out without copying it first; null when b is empty. Valid until the next
 * call that changes b. */
const unsigned char *CBufferData(const CBuffer *b);

#ifdef __cplusplus
}
#endif

#endif /* PLUGHOST_PLUGIN_API_H */
