/*
 * dvl_handler - lets each client follow one file.
 *
 * A client connects (reply code 0), sends the file's path ended by a NUL, and
 * the plug-in starts ModuleDirectory/dorvel.exe on that path through the host.
 * When the watcher's start byte arrives the client gets a second reply code 0;
 * from then on every change record the watcher writes (a host-order length,
 * then the contents) is relayed whole with its length made big-endian. When
 * the watcher exits the client gets reply code 25 and is closed; when the
 * client goes away its watcher gets SIGTERM.
 *
 * A slow follower is not buffered without bound: once it has a watermark of
 * output unsent (setting output-watermark, 1 MiB), the plug-in stops reading
 * its watcher's output until the client has taken all of it. The watcher then
 * blocks in its write, and once it can go on it writes the newest version.
 *
 * Every call comes from the host's single event thread; nothing here blocks.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "plugin_api.h"
#include "plugin_settings.h"
#include "plugin_util.h"

/* Longest path accepted, in bytes before its NUL. */
#define DVL_MAX_PATH 4096
/* Longest record relayed: length + 4 must fit a signed 32-bit count. */
#define DVL_MAX_RECORD (INT32_MAX - 4)
/* ID of a node whose watcher the plug-in no longer follows: its exit has been
 * handled, or the node was refused or gave up on it. No record or pid is
 * matched, read or signalled for it any more, and its client's input is
 * discarded. */
#define DVL_GONE INT32_MIN
/* ID of a node that awaits its client's path. */
#define DVL_AWAIT_PATH (-1)

typedef struct DvlClient {
    ExecutableRecord *Executable; /* set when the start byte has been read */
    int32_t ID;                   /* -1 path awaited, > 0 starting, 0 running */
    ClientRecord *Client;
    CBuffer *Buffer;              /* the path, then the watcher's output */
    struct DvlClient *Next;
    int Waiting;                  /* the watcher's output is suspended until the client drains */
} DvlClient;

static void *DvlHandle;
static DvlClient *DvlClients;

static void ClientDrained(ClientRecord *client);
/* Unsent output at which a client's watcher is no longer read. */
static int64_t DvlWatermark = (int64_t)1 << 20;

/* How a relay pass ended. */
enum { DVL_RELAYED = 0, DVL_FULL = 1, DVL_CLOSED = -1 };

/* Sends SIGTERM to a watcher. Only process ids above 0 are ever signalled:
 * 0 and negative values would reach process groups. */
static void SignalWatcher(int32_t pid)
{
    if (pid > 0)
        kill((pid_t)pid, SIGTERM);
}

/* Writes a closing reply code to a client and closes it; a failed write is
 * logged and not retried. */
static void ReplyAndClose(ClientRecord *client, uint32_t code)
{
    if (PluginWriteWord(client->OutBuffer, code) < 0)
        PLUGIN_ERROR("write failed on client->Client->OutBuffer.");
    CloseClient(client);
}

/* Stops a node's watcher unless the plug-in no longer follows it. */
static void StopWatcher(DvlClient *node)
{
    if (node->ID > 0)
        SignalWatcher(node->ID);
    else if (node->ID == 0 && node->Executable)
        SignalWatcher(node->Executable->Pid);
}

static void FreeNode(DvlClient *node)
{
    PLUGIN_DEBUG("Removing dvl client.");
    CBufferDispose(node->Buffer);
    node->Buffer = NULL;
    StopWatcher(node);
    free(node);
}

PLUGIN_EXPORT void Initialize(void *handle)
{
    const char *text = GetPluginOption(handle, "output-watermark");
    int64_t watermark;
    DvlHandle = handle;
    DvlWatermark = (int64_t)1 << 20;
    if (!text)
        return;
    if (PluginSettingSize(text, &watermark) == 0)
        DvlWatermark = watermark;
    else
        PLUGIN_ERROR("bad value \"%s\" for the setting dvl_handler.output-watermark; %lld is used.", text,
                     (long long)DvlWatermark);
}

PLUGIN_EXPORT void Dispose(void)
{
    while (DvlClients) {
        DvlClient *node = DvlClients;
        DvlClients = node->Next;
        FreeNode(node);
    }
}

/* ----------------------------------------------------------------- clients */

static void ClientConnected(ClientRecord *client)
{
    DvlClient *node = malloc(sizeof *node);
    if (!node) {
        if (PluginWriteWord(client->OutBuffer, REPLY_DVL_NO_MEMORY) < 0)
            PLUGIN_ERROR("write failed on client->OutBuffer.");
        PLUGIN_ERROR("malloc failed on dvlClient.");
        CloseClient(client);
        return;
    }
    node->Buffer = CBufferCreate(0, 1);
    if (!node->Buffer) {
        if (PluginWriteWord(client->OutBuffer, REPLY_DVL_NO_MEMORY) < 0)
            PLUGIN_ERROR("write failed on client->OutBuffer.");
        PLUGIN_ERROR("create dvlClient->Buffer failed.");
        free(node);
        CloseClient(client);
        return;
    }
    node->Executable = NULL;
    node->ID = DVL_AWAIT_PATH;
    node->Client = client;
    node->Waiting = 0;
    node->Next = DvlClients;
    DvlClients = node;
    if (PluginWriteWord(client->OutBuffer, REPLY_OK) < 0) {
        PLUGIN_ERROR("write failed on client->Client->OutBuffer.");
        CloseClient(client);
    }
}

/* Refuses a client while its path is gathered: drops its input, marks the
 * node so that later input is discarded too, replies 18 and closes. */
static void RefusePath(DvlClient *node, const char *why)
{
    PLUGIN_ERROR("%s", why);
    CBufferClear(node->Client->InBuffer);
    CBufferClear(node->Buffer);
    node->ID = DVL_GONE;
    ReplyAndClose(node->Client, REPLY_DVL_NO_MEMORY);
}

/* Moves the client's input into the node's Buffer up to the path's NUL.
 * Returns 1 when the path is complete, 0 when more is awaited, -1 when the
 * client was refused. The Buffer never holds more than the longest path and
 * its NUL. */
static int GatherPath(DvlClient *node)
{
    CBuffer *in = node->Client->InBuffer;
    while (CBufferSize(in) > 0) {
        size_t held = CBufferSize(node->Buffer);
        size_t room = DVL_MAX_PATH + 1 - held;
        size_t granted = room;
        unsigned char *block = CBufferGetWriteBlock(node->Buffer, &granted);
        if (!block || granted == 0) {
            RefusePath(node, "getwriteblock failed on dvlClient->Buffer.");
            return -1;
        }
        size_t n = granted < room ? granted : room;
        if (n > CBufferSize(in))
            n = CBufferSize(in);
        n = (size_t)CBufferRead(in, block, n);
        unsigned char *nul = memrchr(block, '\0', n);
        if (!nul) {
            CBufferCommitBlock(node->Buffer, n);
            if (held + n > DVL_MAX_PATH) {
                RefusePath(node, "path longer than 4096 bytes.");
                return -1;
            }
            continue;
        }
        CBufferCommitBlock(node->Buffer, (size_t)(nul - block) + 1);
        CBufferClear(in);
        return 1;
    }
    return 0;
}

static void StartWatcher(DvlClient *node)
{
    static const char program[] = "dorvel.exe";
    ClientRecord *client = node->Client;
    char *argv[3];

    size_t len0 = strlen(ModuleDirectory) + 1 + strlen(program) + 1;
    argv[0] = malloc(len0);
    if (!argv[0]) {
        PLUGIN_ERROR("malloc failed on argv[0].");
        ReplyAndClose(client, REPLY_DVL_NO_MEMORY);
        return;
    }
    snprintf(argv[0], len0, "%s/%s", ModuleDirectory, program);

    size_t len1 = CBufferSize(node->Buffer);
    argv[1] = malloc(len1);
    if (!argv[1]) {
        PLUGIN_ERROR("malloc failed on argv[1].");
        ReplyAndClose(client, REPLY_DVL_NO_MEMORY);
        free(argv[0]);
        return;
    }
    CBufferRead(node->Buffer, argv[1], len1);
    argv[2] = NULL;

    node->ID = SpawnExecutable(DvlHandle, argv);
    free(argv[1]);
    free(argv[0]);
}

static void ClientData(ClientRecord *client)
{
    DvlClient *node = DvlClients;
    while (node && node->Client != client)
        node = node->Next;
    if (!node) {
        CloseClient(client);
        return;
    }
    if (node->ID != DVL_AWAIT_PATH) {
        CBufferClear(client->InBuffer);
        return;
    }
    if (GatherPath(node) == 1)
        StartWatcher(node);
}

static void ClientClosed(ClientRecord *client)
{
    DvlClient *prev = NULL;
    DvlClient *node = DvlClients;
    while (node && node->Client != client) {
        prev = node;
        node = node->Next;
    }
    if (!node)
        return;
    if (prev)
        prev->Next = node->Next;
    else
        DvlClients = node->Next;
    FreeNode(node);
}

PLUGIN_EXPORT int ClientHandler(ClientRecord *client, int kind)
{
    switch (kind) {
    case CLIENT_CONNECTED:
        ClientConnected(client);
        break;
    case CLIENT_CLOSED:
        ClientClosed(client);
        break;
    case CLIENT_DATA:
        ClientData(client);
        break;
    case CLIENT_OUTPUT_LOW:
        ClientDrained(client);
        break;
    default:
        break;
    }
    return 0;
}

/* ---------------------------------------------------------------- watchers */

/* A running watcher is found by its record, a starting one by its process
 * id; an ID of 0 or below is no process id and matches nothing. */
static DvlClient *FindWatcher(const ExecutableRecord *executable)
{
    for (DvlClient *node = DvlClients; node; node = node->Next)
        if (node->Executable == executable || (node->ID > 0 && node->ID == executable->Pid))
            return node;
    return NULL;
}

static void NoOutputBlock(DvlClient *node)
{
    PLUGIN_ERROR("getwriteblock failed on current->Buffer.");
    ReplyAndClose(node->Client, REPLY_DVL_NO_MEMORY);
}

/* Reads the start byte. Returns 1 when it was read, 0 when the reading of
 * the output is to go on without it (end of file, failure), -1 when the event
 * ends here (it would block, or no buffer space). */
static int ReadStartByte(DvlClient *node, ExecutableRecord *executable)
{
    size_t granted = 1;
    unsigned char *block = CBufferGetWriteBlock(node->Buffer, &granted);
    if (!block || granted == 0) {
        NoOutputBlock(node);
        return -1;
    }
    for (;;) {
        ssize_t n = read(executable->StdOut, block, 1);
        if (n == 1)
            return 1;
        if (n == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -1;
        PLUGIN_ERROR("read failed on executable->StdOut.  %s.", strerror(errno));
        SignalWatcher(node->ID);
        return 0;
    }
}

/* Whether the next record, `length` content bytes, is to wait: the client has
 * a watermark of output unsent, or the record does not fit beside what is
 * unsent (asking for a block of its size is how the room is learnt; the
 * block is used right away). Into an empty OutBuffer a record always goes,
 * so one larger than the cap still fails as it always did. Returns DVL_FULL,
 * DVL_RELAYED (go ahead) or DVL_CLOSED. */
static int NoRoomFor(DvlClient *node, int32_t length)
{
    CBuffer *out = node->Client->OutBuffer;
    size_t unsent = CBufferSize(out);
    size_t granted = (size_t)length + 4;
    if (unsent == 0)
        return DVL_RELAYED;
    if ((int64_t)unsent >= DvlWatermark)
        return DVL_FULL;
    if (!CBufferGetWriteBlock(out, &granted)) {
        PLUGIN_ERROR("getwriteblock failed current->Client->OutBuffer.");
        ReplyAndClose(node->Client, REPLY_DVL_NO_MEMORY);
        return DVL_CLOSED;
    }
    return granted < (size_t)length + 4 ? DVL_FULL : DVL_RELAYED;
}

/* Relays every complete record in the node's Buffer to its client, as long
 * as the client has room. DVL_FULL when the client has a watermark of output
 * unsent afterwards or a record had to wait. */
static int RelayRecords(DvlClient *node, ExecutableRecord *executable)
{
    CBuffer *out = node->Client->OutBuffer;
    while (CBufferSize(node->Buffer) >= 4) {
        int32_t length;
        CBufferPeek(node->Buffer, &length, sizeof length);
        if (length < 0 || length > DVL_MAX_RECORD) {
            /* The stream cannot be framed any more: stop the watcher, tell the
             * client, and follow this watcher no further. */
            PLUGIN_ERROR("bad record length %d on current->Executable->StdOut.", length);
            SignalWatcher(executable->Pid);
            node->ID = DVL_GONE;
            node->Executable = NULL;
            ReplyAndClose(node->Client, REPLY_DVL_WATCHER_FAILED);
            return DVL_CLOSED;
        }
        if ((int64_t)CBufferSize(node->Buffer) < (int64_t)length + 4)
            break;
        int room = NoRoomFor(node, length);
        if (room != DVL_RELAYED)
            return room;
        if (PluginWriteWord(out, (uint32_t)length) < 0) {
            PLUGIN_ERROR("write failed on client->Client->OutBuffer.");
            CloseClient(node->Client);
            return DVL_CLOSED;
        }
        CBufferRemove(node->Buffer, 4);
        size_t left = (size_t)length;
        while (left > 0) {
            size_t granted = left;
            unsigned char *block = CBufferGetWriteBlock(out, &granted);
            if (!block || granted == 0) {
                PLUGIN_ERROR("getwriteblock failed current->Client->OutBuffer.");
                ReplyAndClose(node->Client, REPLY_DVL_NO_MEMORY);
                return DVL_CLOSED;
            }
            if (granted > left)
                granted = left;
            size_t moved = (size_t)CBufferRead(node->Buffer, block, granted);
            CBufferCommitBlock(out, moved);
            left -= moved;
        }
    }
    return (int64_t)CBufferSize(out) >= DvlWatermark ? DVL_FULL : DVL_RELAYED;
}

/* The client has enough to take for now: no more of the watcher's output is
 * read until its OutBuffer is empty (CLIENT_OUTPUT_LOW). */
static void WaitForClient(DvlClient *node, ExecutableRecord *executable)
{
    node->Waiting = 1;
    SuspendExecutableStdOut(executable);
    WatchClientOutput(node->Client, 0);
}

/* Reads the watcher's pipe into the node's Buffer and relays each record as
 * soon as it is complete, until the pipe is empty or the client has enough.
 * Returns 0, or -1 when the client was told of a failure and closed. */
static int ReadOutput(DvlClient *node, ExecutableRecord *executable)
{
    int64_t total = 0;
    int relay = RelayRecords(node, executable); /* what was complete already */
    while (relay == DVL_RELAYED) {
        size_t granted = 0;
        unsigned char *block = CBufferGetWriteBlock(node->Buffer, &granted);
        if (!block || granted == 0) {
            NoOutputBlock(node);
            return -1;
        }
        PLUGIN_DEBUG("reading from current->Executable->StdOut to current->Buffer.");
        ssize_t n = read(executable->StdOut, block, granted);
        if (n > 0) {
            CBufferCommitBlock(node->Buffer, (size_t)n);
            total += n;
            PLUGIN_DEBUG("read %d bytes from current->Executable->StdOut.", (int)n);
            relay = RelayRecords(node, executable);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        PLUGIN_ERROR("read failed on current->Executable->StdOut.");
        SignalWatcher(executable->Pid);
        ReplyAndClose(node->Client, REPLY_DVL_WATCHER_FAILED);
        return -1;
    }
    PLUGIN_DEBUG("read a total of %d bytes from current->Executable->StdOut.",
                 total > INT_MAX ? INT_MAX : (int)total);
    if (relay == DVL_FULL)
        WaitForClient(node, executable);
    return relay == DVL_CLOSED ? -1 : 0;
}

static void WatcherReadable(ExecutableRecord *executable)
{
    DvlClient *node = FindWatcher(executable);
    if (!node) {
        SignalWatcher(executable->Pid);
        return;
    }
    if (node->Waiting)
        return; /* its output is suspended: nothing is read until the client drains */
    if (!node->Executable) {
        int got = ReadStartByte(node, executable);
        if (got < 0)
            return;
        if (got == 1) {
            node->Executable = executable;
            node->ID = 0;
            if (PluginWriteWord(node->Client->OutBuffer, REPLY_DVL_STARTED) < 0) {
                PLUGIN_ERROR("write failed on client->Client->OutBuffer.");
                CloseClient(node->Client);
            }
        }
    }
    ReadOutput(node, executable);
}

/* CLIENT_OUTPUT_LOW: the client has taken its output; relay what waits and
 * read the watcher on. */
static void ClientDrained(ClientRecord *client)
{
    DvlClient *node = DvlClients;
    while (node && node->Client != client)
        node = node->Next;
    if (!node || !node->Waiting)
        return;
    node->Waiting = 0;
    if (!node->Executable)
        return; /* the watcher is gone */
    ResumeExecutableStdOut(node->Executable);
    ReadOutput(node, node->Executable);
}

static void WatcherExited(ExecutableRecord *executable)
{
    DvlClient *node = FindWatcher(executable);
    if (!node)
        return;
    if (executable->Status != 0)
        PLUGIN_ERROR("executable exited with a status of %d.", executable->Status);
    /* The record is invalid and the pid may be reused from here on. */
    node->ID = DVL_GONE;
    node->Executable = NULL;
    ReplyAndClose(node->Client, REPLY_DVL_WATCHER_EXITED);
}

PLUGIN_EXPORT int ExecutableHandler(ExecutableRecord *executable, int kind)
{
    switch (kind) {
    case EXECUTABLE_EXITED:
        WatcherExited(executable);
        break;
    case EXECUTABLE_READABLE:
        WatcherReadable(executable);
        break;
    case EXECUTABLE_WRITE_READY:
        PLUGIN_FATAL("ExecutableHandler called in dvl with ExecutableWriteReady.");
        break;
    default:
        break;
    }
    return 0;
}

PLUGIN_EXPORT int TimeoutHandler(void *unused)
{
    (void)unused;
    PLUGIN_FATAL("TimoutHandler called in dvl.");
    return 0;
}

PLUGIN_EXPORT int IOHandler(void *unused)
{
    (void)unused;
    PLUGIN_FATAL("IOHandler called in dvl.");
    return 0;
}
