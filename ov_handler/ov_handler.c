/*
 * ov_handler - the image plug-in.
 *
 * Clients connect, present the shared key and send images or short requests;
 * each becomes a Job holding a complete ViewerFrame, queued in OvQ and written
 * one at a time to the viewer "orvane.exe", whose 4-byte result goes back to
 * the client as a big-endian word. The plug-in keeps the viewer and
 * "unclutter" running and answers time-stamp requests at once.
 *
 * Everything runs on the host's single event thread; pipes are non-blocking
 * and EAGAIN ends the current step, which goes on at the next event.
 *
 * Flow control: a client may have only so much queued (bytes of frames, and
 * jobs) and all clients together only so many bytes; a request beyond that
 * stays in the client's InBuffer and the client's input is suspended until
 * one of the jobs holding the room finishes. Every client may always have one
 * job queued, whatever its size.
 *
 * Restarts: a viewer that keeps exiting soon after its start is restarted
 * after a growing delay (TimeoutHandler), so that a broken viewer does not
 * keep the event thread busy restarting it.
 */
#define _GNU_SOURCE

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "plugin_api.h"
#include "plugin_settings.h"
#include "plugin_util.h"

/* ------------------------------------------------------------------ records */

typedef struct Job Job;

/* One connected client. */
typedef struct OvClient {
    ClientRecord *Client;  /* the host's record; not owned */
    int32_t Key;           /* -1 until a key was presented (and after a mismatch) */
    Job *Jobs;             /* this client's queued jobs, newest first */
    struct OvClient *Next; /* next node of OvClients */
    int64_t Queued;        /* cost (JobCost) of this client's jobs in OvQ */
    int32_t Count;         /* and their number */
    int64_t Blocked;       /* cost of the request that did not fit, while suspended; else 0 */
    struct OvClient *NextBlocked; /* next node of OvBlocked */
} OvClient;

/* One request for the viewer: its frame, and how much of it was written. */
struct Job {
    OvClient *Owner; /* null once its client left while the job was at the head */
    int32_t Word0;
    int32_t Word1;
    int32_t Width;
    int32_t Height;
    int32_t Written; /* bytes of the frame written to the viewer */
    int32_t Total;   /* length of the frame: header and pixels */
    unsigned char *Image; /* ViewerFrame: header, then the pixels unless in Pixels */
    CBuffer *Pixels; /* the pixels of a large image, taken out of InBuffer; or null */
    Job *Next;       /* next (older) job of the same owner */
    Job *Prev;       /* previous (newer) job of the same owner: unlinking is O(1) */
};

/* Header of the frame on the viewer's standard input, host byte order;
 * Width x Height x 3 pixel bytes follow it. */
typedef struct ViewerFrame {
    int32_t Word0;
    int32_t Word1;
    int32_t Width;
    int32_t Height;
} ViewerFrame;

/* ------------------------------------------------------------------ state */

static void *OvHandle = NULL;
static int32_t OvID = 0;
static ExecutableRecord *OvExecutable = NULL;
static int32_t UnclutterID = 0;
static int32_t UnclutterRetries = 5;
static Queue *OvQ = NULL;
static CBuffer *OvBuffer = NULL;
static int32_t OvTotal = -1;
static int32_t WriteErrors = 0;
static int32_t ReadErrors = 0;
static int OvRandomFD = -1;
static int32_t OvKey = 0;
static OvClient *OvClients = NULL;
/* Non-zero while AddExecutableStdIn is in effect for OvExecutable: switched
 * on at most once per frame and off exactly when the frame is complete or
 * abandoned, whatever Written was when the frame was started. */
static int OvStdInOn = 0;
/* Flow control: the limits (settings client-queue-bytes, total-queue-bytes,
 * client-queue-jobs), the cost of every job in OvQ, the clients whose input
 * is suspended (oldest first), and whether a job left OvQ since they were
 * last looked at. */
static int64_t OvClientLimit = (int64_t)64 << 20;
static int64_t OvTotalLimit = (int64_t)256 << 20;
static int32_t OvClientJobs = 1024;
static int64_t OvQueued = 0;
static OvClient *OvBlocked = NULL;
static int OvReleased = 0;
/* Emptied buffers that held the pixels of finished jobs, with their memory,
 * and the bytes of the images they held: the next large images are exchanged
 * into them (see TakeRequest), so that InBuffer does not map and fault in
 * fresh pages for every image. While a stream flows, the number of images
 * queued swings between one and the client's limit, so up to the bytes one
 * client may queue (client-queue-bytes) are kept; all are given back when the
 * last client has left. */
#define OV_MAX_SPARES 64
static CBuffer *OvSpares[OV_MAX_SPARES];
static int64_t OvSpareSizes[OV_MAX_SPARES];
static int OvSpareCount = 0;
static int64_t OvSpareBytes = 0;
/* Restart back-off: when the current viewer was started (monotonic ms), how
 * many lives in a row were quick exits, the delay the last restart after a
 * quick exit waited, and, while a delayed restart waits for TimeoutHandler,
 * a copy of the exited viewer's argument vector (one allocation). */
static int64_t OvStartedAt = 0;
static int32_t OvQuickExits = 0;
static int32_t OvRestartDelay = 0;
static char **OvRestartArgv = NULL;

#define OV_KEY_MODULUS 2147483647u
#define OV_VIEWER_ARGV4_SIZE 20
/* Enough for "%d" of any int: sign, ten digits, terminator. */
#define OV_VIEWER_ARGV2_SIZE 12
#define OV_UNCLUTTER_CHUNK 4096
/* Reads of 0 bytes from the random source in a row before it is given up. */
#define OV_RANDOM_EOF_LIMIT 16
/* Largest Width x Height whose request length (x 3 + 20) fits 32 bits. */
#define OV_MAX_PIXELS ((uint64_t)(INT32_MAX - 20) / 3)

/* Restart back-off: a life shorter than OV_QUICK_LIFE_MS is a quick exit;
 * the first in a row restarts at once, each further one waits twice as long
 * as the one before, from OV_FIRST_DELAY_MS up to OV_MAX_DELAY_MS. A life of
 * OV_STEADY_LIFE_MS or more ends the back-off. */
#define OV_QUICK_LIFE_MS 1000
#define OV_STEADY_LIFE_MS 3000
#define OV_FIRST_DELAY_MS 10
#define OV_MAX_DELAY_MS 1000

/* Requests of at least this many bytes are taken out of InBuffer by
 * exchanging buffers instead of copying their pixels. */
#define OV_TAKE_FROM ((size_t)1 << 20)

/* What a job costs besides its frame: the record, two allocations and its
 * place in OvQ, roughly. Counted so that short requests are bounded too. */
#define OV_JOB_OVERHEAD 64

enum { OV_INCOMPLETE = 0, OV_DONE = 1, OV_STOP = 2, OV_BLOCKED = 3 };

/* Command words of the client requests. Commands 1 and 3 are the short
 * requests: the viewer fills its canvas with a colour, or answers a query. */
enum { OV_SHOW_IMAGE = 0, OV_FILL = 1, OV_TIME_STAMP = 2, OV_QUERY = 3 };
/* Word0 of the frames of the short requests. */
enum { OV_FILL_FRAME = -1, OV_QUERY_FRAME = -2 };

static void StartJob(void);
static void RequestLoop(OvClient *node);
static void ResumeBlocked(void);

/* ------------------------------------------------------------------ helpers */

static void Terminate(int32_t pid)
{
    if (pid > 0)
        kill((pid_t)pid, SIGTERM);
}

/* Monotonic clock in milliseconds (0 if it cannot be read). */
static int64_t NowMs(void)
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* Maps a negative viewer state (OvID) to the reply code a client receives
 * for it: when it connects, or when its queued jobs are failed. */
static uint32_t ReplyCodeForViewerState(int32_t state)
{
    static const uint32_t codes[7] = {REPLY_VIEWER_ARGV, REPLY_INTERNAL,    REPLY_VIEWER_3,   REPLY_VIEWER_4,
                                      REPLY_VIEWER_127,  REPLY_READ_FAILED, REPLY_WRITE_FAILED};
    return state <= -1 && state >= -7 ? codes[-state - 1] : REPLY_VIEWER_OTHER;
}

/* A reply code whose failed write ends the client's conversation. */
static void AnswerClient(ClientRecord *client, uint32_t word)
{
    if (PluginWriteWord(client->OutBuffer, word) < 0) {
        PLUGIN_ERROR("write failed on client->Client->OutBuffer.");
        CloseClient(client);
    }
}

/* The job's client, if it is still there, receives the word. */
static void AnswerJob(const Job *job, uint32_t word)
{
    if (job->Owner)
        AnswerClient(job->Owner->Client, word);
}

/* Takes the job off its owner's Jobs list. */
static void UnlinkJob(Job *job)
{
    if (!job->Owner)
        return;
    if (job->Prev)
        job->Prev->Next = job->Next;
    else if (job->Owner->Jobs == job)
        job->Owner->Jobs = job->Next;
    if (job->Next)
        job->Next->Prev = job->Prev;
    job->Next = job->Prev = NULL;
}

/* Empties a buffer that held pixels and keeps it in OvSpares, or disposes
 * of it when the spares are full or no client is left to use it. */
static void KeepSpare(CBuffer *buffer)
{
    if (!buffer)
        return;
    int64_t bytes = (int64_t)CBufferSize(buffer);
    CBufferClear(buffer);
    if (!OvClients || OvSpareCount == OV_MAX_SPARES || OvSpareBytes + bytes > OvClientLimit) {
        CBufferDispose(buffer);
        return;
    }
    OvSpareSizes[OvSpareCount] = bytes;
    OvSpares[OvSpareCount++] = buffer;
    OvSpareBytes += bytes;
}

/* The spare used last (its pages are the likeliest to be warm), or a new
 * empty buffer; null when memory fails. */
static CBuffer *TakeSpare(void)
{
    if (OvSpareCount == 0)
        return CBufferCreate(0, 1);
    OvSpareCount--;
    OvSpareBytes -= OvSpareSizes[OvSpareCount];
    return OvSpares[OvSpareCount];
}

static void DisposeSpares(void)
{
    while (OvSpareCount > 0)
        CBufferDispose(OvSpares[--OvSpareCount]);
    OvSpareBytes = 0;
}

static void FreeJob(Job *job)
{
    free(job->Image);
    KeepSpare(job->Pixels);
    free(job);
}

static int64_t JobCost(const Job *job) { return (int64_t)job->Total + OV_JOB_OVERHEAD; }

/* The job has left OvQ for good: off its owner's list, its room given back,
 * freed. Blocked clients are looked at when the current export returns. */
static void ReleaseJob(Job *job)
{
    int64_t cost = JobCost(job);
    if (job->Owner) {
        job->Owner->Queued -= cost;
        job->Owner->Count--;
    }
    OvQueued -= cost;
    OvReleased = 1;
    UnlinkJob(job);
    FreeJob(job);
}

static void StartWriteReady(void)
{
    if (!OvStdInOn) {
        AddExecutableStdIn(OvExecutable);
        OvStdInOn = 1;
    }
}

static void StopWriteReady(void)
{
    if (OvStdInOn) {
        RemoveExecutableStdIn(OvExecutable);
        OvStdInOn = 0;
    }
}

/* ------------------------------------------------------------------ start-up */

static void FreeStrings(char **strings, int count)
{
    for (int i = count - 1; i >= 0; i--)
        free(strings[i]);
}

/* After a failure that leaves no buffer or queue: stop a viewer that may
 * already run, and refuse every client from now on. */
static void GiveUpAtStart(void)
{
    Terminate(OvID);
    OvID = -2;
}

/* Element i (0 to 4) of the viewer's vector: its text formatted into `size`
 * bytes. Returns the length the whole text needs. */
static int ViewerArg(int i, char *text, size_t size)
{
    switch (i) {
    case 0: return snprintf(text, size, "%s/%s", ModuleDirectory, "orvane.exe");
    case 1: return snprintf(text, size, "-l");
    case 2: return snprintf(text, size, "%d", LogGetLevel(Logger));
    case 3: return snprintf(text, size, "-s");
    default: return snprintf(text, size, "%lld", LogGetMaxSize(Logger));
    }
}

/* Builds the viewer's vector and starts it. Each element is a string of its
 * own: element 0 exactly as long as its text, the others of a fixed size;
 * element 4, the host's maximum log size, is formatted again into a string
 * of its length when its text does not fit 20 bytes. Returns 0, or -1 with
 * OvID set (-2 for element 0, -1 for the others). */
static int StartViewer(void *handle)
{
    const size_t sizes[5] = {strlen(ModuleDirectory) + sizeof "/orvane.exe", 3, OV_VIEWER_ARGV2_SIZE, 3,
                             OV_VIEWER_ARGV4_SIZE};
    char *argv[6] = {NULL, NULL, NULL, NULL, NULL, NULL};
    for (int i = 0; i < 5; i++) {
        argv[i] = malloc(sizes[i]);
        int need = argv[i] ? ViewerArg(i, argv[i], sizes[i]) : 0;
        if (need >= (int)sizes[i]) {
            free(argv[i]);
            argv[i] = malloc((size_t)need + 1);
            if (argv[i])
                ViewerArg(i, argv[i], (size_t)need + 1);
        }
        if (!argv[i]) {
            PLUGIN_ERROR("malloc failed on orvane argv[%d].", i);
            FreeStrings(argv, i);
            OvID = i == 0 ? -2 : -1;
            return -1;
        }
    }
    OvHandle = handle;
    OvStartedAt = NowMs();
    OvID = SpawnExecutable(handle, argv);
    FreeStrings(argv, 5);
    return 0;
}

/* Builds unclutter's vector and starts it. Returns 0, or -1 after a failed
 * allocation (logged). */
static int StartUnclutter(void *handle)
{
    static const char *const words[3] = {"unclutter", "-root", "-onescreen"};
    char *argv[4] = {NULL, NULL, NULL, NULL};
    for (int i = 0; i < 3; i++) {
        size_t size = strlen(words[i]) + 1;
        argv[i] = malloc(size);
        if (!argv[i]) {
            PLUGIN_ERROR("malloc failed on unclutter argv[%d].", i);
            FreeStrings(argv, i);
            return -1;
        }
        memcpy(argv[i], words[i], size);
    }
    UnclutterID = SpawnExecutable(handle, argv);
    FreeStrings(argv, 3);
    return 0;
}

/* A size setting, or the default kept with an error line. */
static void ReadSetting(void *handle, const char *key, int64_t *value, int64_t most)
{
    const char *text = GetPluginOption(handle, key);
    int64_t parsed;
    if (!text)
        return;
    if (PluginSettingSize(text, &parsed) == 0 && parsed <= most)
        *value = parsed;
    else
        PLUGIN_ERROR("bad value \"%s\" for the setting ov_handler.%s; %lld is used.", text, key, (long long)*value);
}

static void ReadSettings(void *handle)
{
    int64_t jobs = OvClientJobs;
    ReadSetting(handle, "client-queue-bytes", &OvClientLimit, INT64_MAX);
    ReadSetting(handle, "total-queue-bytes", &OvTotalLimit, INT64_MAX);
    ReadSetting(handle, "client-queue-jobs", &jobs, INT32_MAX);
    OvClientJobs = (int32_t)jobs;
}

PLUGIN_EXPORT void Initialize(void *handle)
{
    ReadSettings(handle);
    if (StartViewer(handle) < 0)
        return;
    if (StartUnclutter(handle) < 0) {
        GiveUpAtStart();
        return;
    }
    OvBuffer = CBufferCreate(0, 1);
    if (!OvBuffer) {
        PLUGIN_ERROR("create ov buffer failed.");
        GiveUpAtStart();
        return;
    }
    OvQ = QueueCreate();
    if (!OvQ) {
        PLUGIN_ERROR("create ov q failed.");
        CBufferDispose(OvBuffer);
        OvBuffer = NULL;
        GiveUpAtStart();
        return;
    }
    srand((unsigned)((uint32_t)time(NULL) + (uint32_t)getpid()));
    OvRandomFD = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
}

PLUGIN_EXPORT void Dispose(void)
{
    if (OvID > 0)
        Terminate(OvID);
    else if (OvExecutable)
        Terminate(OvExecutable->Pid);
    Terminate(UnclutterID);

    if (OvQ && QueueSize(OvQ) > 0) {
        Job *head = QueuePeek(OvQ);
        if (!head->Owner)
            FreeJob(head);
    }
    while (OvClients) {
        OvClient *node = OvClients;
        Job *job = node->Jobs;
        while (job) {
            Job *next = job->Next;
            FreeJob(job);
            job = next;
        }
        OvClients = node->Next;
        free(node);
    }
    if (OvBuffer) {
        CBufferDispose(OvBuffer);
        OvBuffer = NULL;
    }
    DisposeSpares();
    if (OvQ) {
        QueueDispose(OvQ);
        OvQ = NULL;
    }
    if (OvRandomFD >= 0) {
        close(OvRandomFD);
        OvRandomFD = -1;
    }
    OvExecutable = NULL;
    OvBlocked = NULL;
    OvQueued = 0;
    if (OvRestartArgv) {
        SetTimeout(OvHandle, -1);
        free(OvRestartArgv);
        OvRestartArgv = NULL;
    }
}

static void SpawnViewer(char **argv);

/* Called by the host only after SetTimeout: a delayed restart is due. */
PLUGIN_EXPORT int TimeoutHandler(void *unused)
{
    char **argv = OvRestartArgv;
    (void)unused;
    if (!argv) {
        PLUGIN_FATAL("TimeoutHandler called in ov.");
        return 0;
    }
    OvRestartArgv = NULL;
    SpawnViewer(argv);
    free(argv);
    ResumeBlocked();
    return 0;
}

PLUGIN_EXPORT int IOHandler(void *unused)
{
    (void)unused;
    PLUGIN_FATAL("IOHandler called in ov.");
    return 0;
}

/* ------------------------------------------------------------------ clients and the key */

static OvClient *FindClient(const ClientRecord *client)
{
    for (OvClient *node = OvClients; node; node = node->Next)
        if (node->Client == client)
            return node;
    return NULL;
}

/* A client refused at connect: the code, then the close; `why` (when not
 * null) is logged in between. */
static void Refuse(ClientRecord *client, uint32_t code, const char *why)
{
    if (PluginWriteWord(client->OutBuffer, code) < 0)
        PLUGIN_ERROR("write failed on client->OutBuffer.");
    if (why)
        PLUGIN_ERROR("%s", why);
    CloseClient(client);
}

static void Connect(ClientRecord *client)
{
    if (OvID < 0) {
        Refuse(client, ReplyCodeForViewerState(OvID), NULL);
        return;
    }
    OvClient *node = malloc(sizeof *node);
    if (!node) {
        Refuse(client, REPLY_INTERNAL, "malloc failed on ovClient.");
        return;
    }
    node->Client = client;
    node->Key = -1;
    node->Jobs = NULL;
    node->Queued = 0;
    node->Count = 0;
    node->Blocked = 0;
    node->NextBlocked = NULL;
    node->Next = OvClients;
    OvClients = node;
    AnswerClient(client, REPLY_OK);
}

static void Disconnect(ClientRecord *client)
{
    OvClient *node = FindClient(client);
    if (!node)
        return;
    if (node->Key == 0) {
        for (OvClient *other = OvClients; other; other = other->Next)
            if (other->Client != client)
                CloseClient(other->Client);
    }
    if (node->Blocked) {
        OvClient **blocked = &OvBlocked;
        while (*blocked != node)
            blocked = &(*blocked)->NextBlocked;
        *blocked = node->NextBlocked;
    }
    Job *job = node->Jobs;
    Job *head = OvQ ? QueuePeek(OvQ) : NULL;
    while (job) {
        Job *next = job->Next;
        job->Owner = NULL;
        job->Next = job->Prev = NULL;
        if (job != head) { /* the head job is finished without a client */
            QueueRemove(OvQ, job);
            OvQueued -= JobCost(job);
            FreeJob(job);
        }
        job = next;
    }
    node->Jobs = NULL;
    OvReleased = 1;
    PLUGIN_DEBUG("Removing ov client.");
    OvClient **link = &OvClients;
    while (*link != node)
        link = &(*link)->Next;
    *link = node->Next;
    free(node);
    if (!OvClients)
        DisposeSpares();
}

/* A 32-bit word from /dev/urandom, or from rand() once that source failed. */
static uint32_t RandomWord(void)
{
    uint32_t word = 0;
    unsigned char *bytes = (unsigned char *)&word;
    size_t have = 0;
    int empty = 0;
    if (OvRandomFD < 0)
        return (uint32_t)rand();
    while (have < sizeof word) {
        ssize_t n = read(OvRandomFD, bytes + have, sizeof word - have);
        if (n > 0) {
            have += (size_t)n;
            empty = 0;
            continue;
        }
        if (n == 0 && ++empty < OV_RANDOM_EOF_LIMIT)
            continue;
        if (n < 0 && errno == EINTR)
            continue;
        /* A failing source, or one that keeps reporting end of file, is
         * closed and not used again. */
        while (close(OvRandomFD) < 0 && errno == EINTR)
            ;
        OvRandomFD = -1;
        return (uint32_t)rand();
    }
    return word;
}

static void IssueKey(ClientRecord *client)
{
    OvKey = (int32_t)(RandomWord() % OV_KEY_MODULUS + 1);
    AnswerClient(client, REPLY_OK);
    AnswerClient(client, (uint32_t)OvKey);
}

/* The first word a client sends is its key. */
static void KeyHandshake(OvClient *node)
{
    ClientRecord *client = node->Client;
    uint32_t word;
    if (CBufferSize(client->InBuffer) < 4)
        return;
    CBufferRead(client->InBuffer, &word, 4);
    node->Key = (int32_t)ntohl(word);
    if (OvKey != 0) {
        if (node->Key == OvKey) {
            AnswerClient(client, REPLY_OK);
        } else {
            node->Key = -1;
            AnswerClient(client, REPLY_KEY_MISMATCH);
            CloseClient(client);
        }
    } else if (node->Key != 0) {
        AnswerClient(client, REPLY_NO_KEY_ISSUED);
        CloseClient(client);
    } else {
        IssueKey(client);
    }
}

/* ------------------------------------------------------------------ requests */

static uint32_t PeekWord(const CBuffer *in, size_t at)
{
    uint32_t word = 0;
    CBufferPeekAt(in, &word, at, 4);
    return ntohl(word);
}

static int32_t ReadWord(CBuffer *in)
{
    uint32_t word = 0;
    CBufferRead(in, &word, 4);
    return (int32_t)ntohl(word);
}

/* Puts the job on its owner's list and into OvQ, and starts it when the
 * viewer is ready and idle. */
static int QueueJob(OvClient *node, Job *job)
{
    job->Owner = node;
    job->Prev = NULL;
    job->Next = node->Jobs;
    if (node->Jobs)
        node->Jobs->Prev = job;
    node->Jobs = job;
    if (QueueEnqueue(OvQ, job) < 0) {
        PLUGIN_ERROR("enqueue failed on ov q.");
        UnlinkJob(job);
        FreeJob(job);
        AnswerClient(node->Client, REPLY_INTERNAL);
        return OV_DONE;
    }
    node->Queued += JobCost(job);
    node->Count++;
    OvQueued += JobCost(job);
    if (QueueSize(OvQ) == 1 && OvExecutable)
        StartJob();
    return OV_DONE;
}

/* Whether a request of this cost may be queued for the client now. */
static int Admits(const OvClient *node, int64_t cost)
{
    if (node->Count == 0)
        return 1; /* one job, whatever its size */
    return node->Count < OvClientJobs && node->Queued + cost <= OvClientLimit && OvQueued + cost <= OvTotalLimit;
}

/* The request at the front does not fit: it stays in InBuffer and the
 * client's input is suspended until jobs holding the room have finished. */
static int Block(OvClient *node, int64_t cost)
{
    OvClient **tail = &OvBlocked;
    node->Blocked = cost;
    while (*tail)
        tail = &(*tail)->NextBlocked;
    *tail = node;
    node->NextBlocked = NULL;
    SuspendClientInput(node->Client);
    return OV_BLOCKED;
}

/* Blocked clients whose request fits again are resumed, oldest first, and
 * their request loop runs over what waits in InBuffer (the host does not
 * announce those bytes again). Runs when an export is about to return, so
 * never inside the feeding or finishing of a job. */
static void ResumeBlocked(void)
{
    while (OvReleased) {
        OvReleased = 0;
        OvClient **link = &OvBlocked;
        while (*link) {
            OvClient *node = *link;
            if (!Admits(node, node->Blocked)) {
                link = &node->NextBlocked;
                continue;
            }
            *link = node->NextBlocked;
            node->NextBlocked = NULL;
            node->Blocked = 0;
            ResumeClientInput(node->Client);
            RequestLoop(node); /* may block it again, at the tail */
        }
    }
}

static void WriteHeader(Job *job)
{
    ViewerFrame header = {job->Word0, job->Word1, job->Width, job->Height};
    memcpy(job->Image, &header, sizeof header);
}

/* A job with a frame of `total` bytes of which `held` are in Image, for the
 * request of `length` bytes at the front of `from`; or null when memory
 * fails, and then the whole request is dropped and answered with 19.
 * `noFrame` is logged when only the frame cannot be had. */
static Job *NewJob(ClientRecord *client, CBuffer *from, size_t length, size_t total, size_t held,
                   const char *noFrame)
{
    const char *failure = "malloc failed on job.";
    Job *job = malloc(sizeof *job);
    if (job) {
        job->Image = malloc(held);
        if (job->Image) {
            job->Written = 0;
            job->Total = (int32_t)total;
            job->Pixels = NULL;
            return job;
        }
        free(job);
        failure = noFrame;
    }
    PLUGIN_ERROR("%s", failure);
    CBufferRemove(from, length);
    AnswerClient(client, REPLY_INTERNAL);
    return NULL;
}

/* A large request at the front of `in` is moved out of it without copying:
 * InBuffer's content is exchanged with a spare (or a new buffer), and what
 * followed the request is written back to InBuffer. Done only while that
 * rest is under half the request, so the bytes written back stay well below
 * those a copy would move. Returns the buffer that now holds exactly
 * the request, or null when it stays in `in`: small, a rest too long, the
 * exchange refused (a request over the plug-in buffers' cap), or no memory. */
static CBuffer *TakeRequest(CBuffer *in, size_t length)
{
    size_t rest = CBufferSize(in) - length;
    if (length < OV_TAKE_FROM || rest >= length / 2)
        return NULL;
    CBuffer *taken = TakeSpare();
    if (!taken)
        return NULL;
    if (CBufferSwap(in, taken) < 0) {
        KeepSpare(taken);
        return NULL;
    }
    if (rest > 0) {
        if (CBufferWrite(in, CBufferData(taken) + length, rest) < 0) {
            CBufferSwap(in, taken); /* back as it was: `in` is empty */
            KeepSpare(taken);
            return NULL;
        }
        CBufferRemoveAt(taken, (int64_t)length - 1, rest);
    }
    return taken;
}

/* Command 0: Width, Height, Word0, Word1, then Width x Height x 3 bytes. */
static int ShowImage(OvClient *node)
{
    ClientRecord *client = node->Client;
    CBuffer *in = client->InBuffer;
    if (CBufferSize(in) < 20)
        return OV_INCOMPLETE;
    int32_t width = (int32_t)PeekWord(in, 4);
    int32_t height = (int32_t)PeekWord(in, 8);
    if (width < 0 || height < 0 || (uint64_t)width * (uint64_t)height > OV_MAX_PIXELS) {
        /* No frame can be built and the length of this request is unknown,
         * so nothing after it can be parsed: refuse and close. */
        PLUGIN_ERROR("image size %d x %d refused on client->Client->InBuffer.", (int)width, (int)height);
        CBufferRemove(in, CBufferSize(in));
        AnswerClient(client, REPLY_INTERNAL);
        CloseClient(client);
        return OV_STOP;
    }
    int32_t n = width * height * 3;
    int64_t cost = (int64_t)n + 16 + OV_JOB_OVERHEAD;
    if (!Admits(node, cost))
        return Block(node, cost);
    if (CBufferSize(in) < (size_t)n + 20)
        return OV_INCOMPLETE;
    CBuffer *taken = TakeRequest(in, (size_t)n + 20);
    CBuffer *from = taken ? taken : in;
    size_t held = taken ? sizeof(ViewerFrame) : (size_t)n + 16;
    Job *job = NewJob(client, from, (size_t)n + 20, (size_t)n + 16, held, "malloc failed on job->Image.");
    if (!job) {
        KeepSpare(taken);
        return OV_DONE;
    }
    job->Width = width;
    job->Height = height;
    CBufferRemove(from, 12);
    job->Word0 = ReadWord(from);
    job->Word1 = ReadWord(from);
    WriteHeader(job);
    if (taken)
        job->Pixels = taken; /* now exactly the pixels */
    else
        CBufferRead(in, job->Image + sizeof(ViewerFrame), (size_t)n);
    return QueueJob(node, job);
}

/* Commands 1 (fill: one argument) and 3 (query: two arguments): a frame of
 * the header alone. */
static int ShortRequest(OvClient *node, int32_t command)
{
    ClientRecord *client = node->Client;
    CBuffer *in = client->InBuffer;
    size_t length = command == OV_FILL ? 8 : 12;
    int64_t cost = (int64_t)sizeof(ViewerFrame) + OV_JOB_OVERHEAD;
    if (!Admits(node, cost))
        return Block(node, cost);
    if (CBufferSize(in) < length)
        return OV_INCOMPLETE;
    Job *job = NewJob(client, in, length, sizeof(ViewerFrame), sizeof(ViewerFrame), "malloc failed on job.");
    if (!job)
        return OV_DONE;
    job->Word0 = command == OV_FILL ? OV_FILL_FRAME : OV_QUERY_FRAME;
    job->Width = 0;
    job->Height = 0;
    CBufferRemove(in, 4);
    job->Word1 = ReadWord(in);
    if (command == OV_QUERY)
        job->Width = ReadWord(in);
    WriteHeader(job);
    return QueueJob(node, job);
}

/* Drops the n bytes appended last to the buffer. */
static void TakeBack(CBuffer *out, size_t n)
{
    CBufferRemoveAt(out, (int64_t)CBufferSize(out) - (int64_t)n - 1, n);
}

/* A time-stamp answer that cannot be completed: the part of it already
 * appended is taken back and the code goes in its place. */
static int FailTimeStamp(ClientRecord *client, size_t appended, uint32_t code)
{
    if (appended > 0)
        TakeBack(client->OutBuffer, appended);
    AnswerClient(client, code);
    return 1;
}

/* Command 2: answers code 0, the client's 8 bytes and two clock readings,
 * T1 when the request is complete, T2 once T1 is in the answer. Returns 0
 * while the request is incomplete, 1 once it was dealt with. */
static int DoTimeStamp(OvClient *node)
{
    ClientRecord *client = node->Client;
    CBuffer *in = client->InBuffer;
    CBuffer *out = client->OutBuffer;
    struct timeval t1, t2;
    uint32_t words[4];
    size_t moved = 0;

    if (CBufferSize(in) < 12)
        return 0;
    if (gettimeofday(&t1, NULL) != 0) {
        int err = errno;
        PLUGIN_ERROR("gettimeofday failed on job->Created.  %s.", strerror(err));
        CBufferRemove(in, 12);
        return FailTimeStamp(client, 0, REPLY_CLOCK_FAILED);
    }
    CBufferRemove(in, 4);
    if (PluginWriteWord(out, REPLY_OK) < 0) {
        PLUGIN_ERROR("write failed on client->Client->OutBuffer.");
        CloseClient(client);
        /* The client's 8 bytes go too: left in InBuffer, the request loop
         * (which goes on after a close) would parse them as a request. */
        CBufferRemove(in, 8);
        return 1;
    }
    /* The client's bytes go from InBuffer straight into OutBuffer. */
    while (moved < 8) {
        size_t size = 8 - moved;
        unsigned char *block = CBufferGetWriteBlock(out, &size);
        int64_t got = block ? CBufferRead(in, block, size) : -1;
        if (got <= 0) {
            PLUGIN_ERROR("getWriteBlock failed on client->OutBuffer.");
            CBufferRemove(in, 8 - moved);
            return FailTimeStamp(client, moved + 4, REPLY_INTERNAL);
        }
        CBufferCommitBlock(out, (size_t)got);
        moved += (size_t)got;
    }
    /* Then the four time words; 12 bytes of the answer precede them. */
    words[0] = (uint32_t)t1.tv_sec;
    words[1] = (uint32_t)t1.tv_usec;
    for (int i = 0; i < 4; i++) {
        if (i == 2) {
            if (gettimeofday(&t2, NULL) != 0) {
                int err = errno;
                PLUGIN_ERROR("gettimeofday failed on t.  %s.", strerror(err));
                return FailTimeStamp(client, 20, REPLY_CLOCK_FAILED);
            }
            words[2] = (uint32_t)t2.tv_sec;
            words[3] = (uint32_t)t2.tv_usec;
        }
        if (PluginWriteWord(out, words[i]) < 0) {
            PLUGIN_ERROR("write failed on client->OutBuffer");
            return FailTimeStamp(client, 12 + 4 * (size_t)i, REPLY_INTERNAL);
        }
    }
    return 1;
}

/* Serves every complete request at the front of InBuffer. */
static void RequestLoop(OvClient *node)
{
    CBuffer *in = node->Client->InBuffer;
    if (node->Blocked)
        return; /* suspended: the bytes wait until ResumeBlocked */
    while (CBufferSize(in) >= 4) {
        int32_t command = (int32_t)PeekWord(in, 0);
        int outcome;
        if ((command == OV_SHOW_IMAGE || command == OV_FILL || command == OV_QUERY) && OvID < 0) {
            /* The viewer was given up after this client was admitted: the job
             * could never be served. Answered like a refused connection. */
            CBufferRemove(in, CBufferSize(in));
            AnswerClient(node->Client, ReplyCodeForViewerState(OvID));
            CloseClient(node->Client);
            return;
        }
        switch (command) {
        case OV_SHOW_IMAGE:
            outcome = ShowImage(node);
            break;
        case OV_FILL:
        case OV_QUERY:
            outcome = ShortRequest(node, command);
            break;
        case OV_TIME_STAMP:
            outcome = DoTimeStamp(node) ? OV_DONE : OV_INCOMPLETE;
            break;
        default:
            /* An unknown word stays in front and blocks this client. */
            return;
        }
        if (outcome != OV_DONE)
            return;
    }
}

PLUGIN_EXPORT int ClientHandler(ClientRecord *client, int kind)
{
    OvClient *node;
    switch (kind) {
    case CLIENT_CONNECTED:
        Connect(client);
        break;
    case CLIENT_CLOSED:
        Disconnect(client);
        break;
    case CLIENT_DATA:
        node = FindClient(client);
        if (!node)
            CloseClient(client);
        else if (node->Key < 0)
            KeyHandshake(node);
        else
            RequestLoop(node);
        break;
    default:
        break;
    }
    ResumeBlocked();
    return 0;
}

/* ------------------------------------------------------------------ feeding the viewer */

/* A write failed: answer 25, stop the viewer, drop the job. */
static void AbandonJob(Job *job, int err)
{
    PLUGIN_ERROR("write failed on OvExecutable->StdIn.  %s.", strerror(err));
    StopWriteReady();
    WriteErrors++;
    Terminate(OvExecutable->Pid);
    QueueDequeue(OvQ);
    AnswerJob(job, REPLY_WRITE_FAILED);
    ReleaseJob(job);
}

/* The run of the job's frame that starts at Written: in Image (the header,
 * and the pixels unless they are in Pixels), then in Pixels. */
static const unsigned char *FrameAt(const Job *job, size_t *size)
{
    int32_t held = job->Pixels ? (int32_t)sizeof(ViewerFrame) : job->Total;
    if (job->Written < held) {
        *size = (size_t)(held - job->Written);
        return job->Image + job->Written;
    }
    *size = (size_t)(job->Total - job->Written);
    return CBufferData(job->Pixels) + (job->Written - held);
}

/* Writes the head job's frame from Written on, as far as the pipe takes it. */
static void StartJob(void)
{
    Job *job = QueuePeek(OvQ);
    int32_t sent = 0;
    int32_t left;
    if (job->Written == 0)
        OvTotal = -1;
    for (;;) {
        left = job->Total - job->Written;
        if (left <= 0)
            break;
        size_t size;
        const unsigned char *from = FrameAt(job, &size);
        ssize_t n = write(OvExecutable->StdIn, from, size);
        if (n > 0) {
            PLUGIN_DEBUG("wrote %d bytes to OvExecutable->StdIn", (int)n);
            WriteErrors = 0;
            job->Written += (int32_t)n;
            sent += (int32_t)n;
            if (job->Written == job->Total)
                StopWriteReady();
            continue;
        }
        int err = n < 0 ? errno : EIO;
        if (err == EINTR)
            continue;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            StartWriteReady();
            break;
        }
        AbandonJob(job, err);
        break;
    }
    PLUGIN_DEBUG("wrote a total of %d bytes to OvExecutable->StdIn, %d left.", (int)sent, (int)left);
}

/* ------------------------------------------------------------------ viewer output */

/* Reads and drops whatever the pipe holds; for a viewer the plug-in has
 * given up on at start-up, when there is no OvBuffer to read into. */
static void DrainPipe(int fd)
{
    unsigned char scratch[512];
    for (;;) {
        ssize_t n = read(fd, scratch, sizeof scratch);
        if (n > 0 || (n < 0 && errno == EINTR))
            continue;
        return;
    }
}

static void StartByte(ExecutableRecord *executable)
{
    if (!OvBuffer || !OvQ) {
        DrainPipe(executable->StdOut);
        return;
    }
    ssize_t n;
    int err;
    do {
        size_t size = 1;
        unsigned char *block = CBufferGetWriteBlock(OvBuffer, &size);
        if (block) {
            n = read(executable->StdOut, block, size);
            err = errno;
        } else {
            n = -1;
            err = ENOBUFS;
        }
    } while (n < 0 && err == EINTR);
    if (n > 0) {
        OvExecutable = executable;
        OvID = 0;
        ReadErrors = 0;
        OvStdInOn = 0;
        if (QueueSize(OvQ) > 0)
            StartJob();
        return;
    }
    /* End of file: not ready; the exit event follows. */
    if (n == 0 || err == EAGAIN || err == EWOULDBLOCK)
        return;
    PLUGIN_ERROR("read failed on executable->StdOut.  %s.", strerror(err));
    ReadErrors++;
    Terminate(OvID);
}

/* Removes the head job (whose result was read) and starts the next. */
static void FinishJob(void)
{
    Job *job = QueueDequeue(OvQ);
    ReleaseJob(job);
    CBufferClear(OvBuffer);
    PLUGIN_DEBUG("Job cleanup.");
    if (QueueSize(OvQ) > 0)
        StartJob();
}

static void FailedResultRead(void)
{
    Job *job = QueuePeek(OvQ);
    PLUGIN_ERROR("read failed on OvExecutable->StdOut.");
    ReadErrors++;
    Terminate(OvExecutable->Pid);
    AnswerJob(job, REPLY_READ_FAILED);
    QueueDequeue(OvQ);
    ReleaseJob(job);
    CBufferClear(OvBuffer);
    PLUGIN_DEBUG("Job cleanup.");
    OvTotal = -1;
}

/* The head job's frame is written: collect its 4-byte result. Normally the
 * bytes are kept in OvBuffer; when OvBuffer grants no room they are read and
 * thrown away, counted in OvTotal ("discard mode"), and the client gets 19.
 * Each read asks for no more than the missing bytes. */
static void ReadResult(void)
{
    int got = 0;
    for (;;) {
        const int discard = OvTotal != -1;
        const size_t missing = discard ? (size_t)(4 - OvTotal) : 4 - CBufferSize(OvBuffer);
        if (missing == 0)
            break;
        size_t size = missing;
        unsigned char *block = CBufferGetWriteBlock(OvBuffer, &size);
        if (!block && !discard) {
            OvTotal = (int32_t)CBufferSize(OvBuffer);
            CBufferClear(OvBuffer);
            PLUGIN_ERROR("getwriteblock failed on OvBuffer.");
            continue;
        }
        PLUGIN_DEBUG(discard ? "reading form OvExecutable->StdOut to OvBuffer."
                             : "reading from OvExecutable->StdOut to OvBuffer.");
        ssize_t n = block ? read(OvExecutable->StdOut, block, size) : -1;
        int err = block ? errno : ENOBUFS;
        if (n > 0 || discard)
            PLUGIN_DEBUG("read %d bytes from OvExecutable->StdOut.", (int)n);
        if (n > 0) {
            if (discard)
                OvTotal += (int32_t)n;
            else
                CBufferCommitBlock(OvBuffer, (size_t)n);
            got += (int)n;
            continue;
        }
        if (n == 0)
            break;
        if (err != EINTR && err != EAGAIN && err != EWOULDBLOCK) {
            FailedResultRead();
            return;
        }
        if (discard) {
            PLUGIN_DEBUG("Discarding bytes from OvExecutable->StdOut.");
            CBufferClear(OvBuffer);
        }
        if (err != EINTR)
            break;
    }
    PLUGIN_DEBUG("read a total of %d bytes from OvExecutable->StdOut.", got);
    if (OvTotal == 4) {
        AnswerJob(QueuePeek(OvQ), REPLY_INTERNAL);
        OvTotal = -1;
        FinishJob();
    } else if (CBufferSize(OvBuffer) == 4) {
        Job *job = QueuePeek(OvQ);
        if (job->Owner) {
            int32_t result;
            PLUGIN_DEBUG("Job finished.");
            CBufferRead(OvBuffer, &result, 4);
            AnswerJob(job, (uint32_t)result);
        }
        FinishJob();
    }
}

/* Output nobody waits for: read and dropped. */
static void DrainViewer(void)
{
    CBufferClear(OvBuffer);
    for (;;) {
        size_t size = 0;
        unsigned char *block = CBufferGetWriteBlock(OvBuffer, &size);
        if (!block)
            return;
        ssize_t n = read(OvExecutable->StdOut, block, size);
        CBufferClear(OvBuffer);
        if (n <= 0)
            return;
    }
}

/* ------------------------------------------------------------------ exits, restarts, unclutter */

/* Every queued job is answered with the code and its client closed. */
static void FailQueue(uint32_t code)
{
    Job *job;
    while ((job = QueueDequeue(OvQ)) != NULL) {
        if (job->Owner) {
            ClientRecord *client = job->Owner->Client;
            if (PluginWriteWord(client->OutBuffer, code) < 0)
                PLUGIN_ERROR("write failed on client->Client->OutBuffer.");
            CloseClient(client);
        }
        ReleaseJob(job);
    }
}

/* Starts the viewer again; a failed start gives it up and fails the queue. */
static void SpawnViewer(char **argv)
{
    OvStartedAt = NowMs();
    OvID = SpawnExecutable(OvHandle, argv);
    if (OvID < 0 && QueueSize(OvQ) > 0)
        FailQueue(ReplyCodeForViewerState(OvID));
}

/* A copy of a null-terminated argument vector in one allocation, or null. */
static char **CopyArgv(char *const *argv)
{
    size_t count = 0, bytes = 0;
    while (argv[count])
        bytes += strlen(argv[count++]) + 1;
    char **copy = malloc((count + 1) * sizeof *copy + bytes);
    if (!copy)
        return NULL;
    char *text = (char *)(copy + count + 1);
    for (size_t i = 0; i < count; i++) {
        size_t size = strlen(argv[i]) + 1;
        copy[i] = memcpy(text, argv[i], size);
        text += size;
    }
    copy[count] = NULL;
    return copy;
}

/* How long the restart after a life of `life` ms waits (quick exits in a
 * row back off), logged whenever that wait changes. */
static int32_t RestartDelay(int64_t life)
{
    if (life >= OV_STEADY_LIFE_MS) {
        if (OvRestartDelay > 0)
            PLUGIN_WARN("orvane.exe ran for %lld ms; it is restarted at once again.", (long long)life);
        OvQuickExits = 0;
        OvRestartDelay = 0;
        return 0;
    }
    if (life >= OV_QUICK_LIFE_MS)
        return 0; /* neither quick nor steady: at once, the back-off kept */
    int32_t delay = 0;
    if (OvQuickExits < 16)
        OvQuickExits++;
    if (OvQuickExits > 1) {
        delay = OV_FIRST_DELAY_MS << (OvQuickExits - 2);
        if (delay > OV_MAX_DELAY_MS)
            delay = OV_MAX_DELAY_MS;
    }
    if (delay != OvRestartDelay)
        PLUGIN_WARN("orvane.exe keeps exiting within %d ms of its start; it is restarted after %d ms.",
                OV_QUICK_LIFE_MS, (int)delay);
    OvRestartDelay = delay;
    return delay;
}

/* Restarts the exited viewer with its own argument vector: at once, or after
 * the back-off delay through TimeoutHandler. When the delay cannot be had (no
 * memory for the copy of the vector, no timer), at once. */
static void RestartViewer(ExecutableRecord *executable)
{
    int32_t delay = RestartDelay(NowMs() - OvStartedAt);
    if (delay > 0) {
        OvRestartArgv = CopyArgv(executable->Argv);
        if (OvRestartArgv && SetTimeout(OvHandle, delay) == 0) {
            OvID = 0; /* admitted and queued as while it starts; no pid yet */
            return;
        }
        if (!OvRestartArgv)
            PLUGIN_ERROR("malloc failed on orvane restart argv.");
        free(OvRestartArgv);
        OvRestartArgv = NULL;
    }
    SpawnViewer(executable->Argv);
}

static void ViewerExits(ExecutableRecord *executable)
{
    OvExecutable = NULL;
    OvStdInOn = 0;
    if (!OvBuffer || !OvQ)
        return; /* given up at start-up: never restarted */
    if (QueueSize(OvQ) > 0) {
        Job *head = QueuePeek(OvQ);
        if (head->Written > 0) {
            AnswerJob(head, executable->Status != 0 ? (uint32_t)executable->Status : REPLY_VIEWER_OTHER);
            QueueDequeue(OvQ);
            ReleaseJob(head);
        }
    }
    CBufferClear(OvBuffer);
    if (executable->Status == 127)
        OvID = -5;
    else if (ReadErrors >= 5)
        OvID = -6;
    else if (WriteErrors >= 5)
        OvID = -7;
    else {
        RestartViewer(executable);
        return;
    }
    if (QueueSize(OvQ) > 0)
        FailQueue(ReplyCodeForViewerState(OvID));
}

static void UnclutterExits(ExecutableRecord *executable)
{
    if (UnclutterRetries-- > 0)
        UnclutterID = SpawnExecutable(OvHandle, executable->Argv);
    else
        UnclutterID = 0; /* gone for good: its pid may be reused */
}

static void DrainUnclutter(ExecutableRecord *executable)
{
    unsigned char *buffer = malloc(OV_UNCLUTTER_CHUNK);
    ssize_t n;
    if (!buffer) {
        PLUGIN_DEBUG("malloc failed on unclutter buffer.");
        return;
    }
    do {
        errno = 0;
        n = read(executable->StdOut, buffer, OV_UNCLUTTER_CHUNK);
    } while (n >= 1 || (n < 0 && errno == EINTR));
    if (n < 0) {
        int err = errno;
        PLUGIN_WARN("read failed on unclutter->StdOut.  %s.", strerror(err));
    }
    free(buffer);
}

PLUGIN_EXPORT int ExecutableHandler(ExecutableRecord *executable, int kind)
{
    int unclutter = executable->Pid == UnclutterID;
    switch (kind) {
    case EXECUTABLE_EXITED:
        if (unclutter)
            UnclutterExits(executable);
        else
            ViewerExits(executable);
        break;
    case EXECUTABLE_READABLE:
        if (unclutter) {
            DrainUnclutter(executable);
        } else if (!OvExecutable) {
            StartByte(executable);
        } else {
            Job *head = QueueSize(OvQ) > 0 ? QueuePeek(OvQ) : NULL;
            if (head && head->Written == head->Total)
                ReadResult();
            else
                DrainViewer();
        }
        break;
    case EXECUTABLE_WRITE_READY:
        if (unclutter)
            PLUGIN_ERROR("UnclutterID passed into ExecutableWriteReady.");
        else if (OvExecutable && QueueSize(OvQ) > 0)
            StartJob();
        break;
    default:
        break;
    }
    ResumeBlocked();
    return 0;
}

#ifdef OV_HANDLER_FUZZ_HOOKS
/* For the fuzz harness only: checks that OvQ and the clients' Jobs lists hold
 * the same jobs. `queued` gives the items of a queue in order without calling
 * into it (the harness keeps a copy beside the host's queue). Returns 0, or
 * the negative number of the first rule broken; counts the nodes and jobs the
 * plug-in holds, and its other allocations. */
PLUGIN_EXPORT int OvFuzzCheck(const void *(*queued)(const Queue *q, int index), int *clients, int *jobs,
                              int *others)
{
    enum { LIMIT = 1 << 20 };
    int nodes = 0, listed = 0, owned = 0, blocked = 0;
    int64_t queuedCost = 0;
    for (OvClient *node = OvClients; node; node = node->Next) {
        int64_t cost = 0;
        int32_t count = 0;
        if (++nodes > LIMIT)
            return -1; /* OvClients is cyclic */
        for (Job *job = node->Jobs; job; job = job->Next) {
            if (++listed > LIMIT)
                return -2; /* a Jobs list is cyclic */
            if (job->Owner != node)
                return -3;
            if (job->Prev ? job->Prev->Next != job : node->Jobs != job)
                return -15; /* Prev does not mirror Next */
            cost += JobCost(job);
            count++;
        }
        if (cost != node->Queued || count != node->Count)
            return -16; /* the client's room is not what its jobs hold */
        blocked += node->Blocked > 0;
    }
    for (OvClient *node = OvBlocked; node; node = node->NextBlocked) {
        int known = 0;
        if (--blocked < 0 || node->Blocked <= 0)
            return -17; /* OvBlocked and the Blocked marks disagree */
        for (OvClient *other = OvClients; other; other = other->Next)
            known += other == node;
        if (known != 1)
            return -18;
    }
    if (blocked != 0)
        return -17;
    if (OvRestartArgv && (OvID != 0 || OvExecutable))
        return -20; /* a restart waits only while no viewer runs */
    if (OvID == 0 && !OvExecutable && !OvRestartArgv && OvQ)
        return -21; /* OvID 0: ready, or a restart waits */
    *clients = nodes;
    *jobs = 0;
    *others = OvRestartArgv != NULL;
    if (!OvQ)
        return listed ? -4 : 0;
    int size = QueueSize(OvQ);
    if (queued(OvQ, size) != NULL || (size > 0 && queued(OvQ, 0) != QueuePeek(OvQ)))
        return -12; /* the harness's copy of OvQ disagrees with it */
    for (int i = 0; i < size; i++) {
        const Job *job = queued(OvQ, i);
        int onList = 0, known = 0;
        if (!job)
            return -5;
        if (job->Owner == NULL && i > 0)
            return -6; /* only the head job may have lost its owner */
        if (i > 0 && job->Written != 0)
            return -7; /* only the head job is ever written */
        if (job->Written < 0 || job->Written > job->Total || job->Total != 16 + job->Width * job->Height * 3)
            return -8;
        if (i == 0 && job->Written > 0 && !OvExecutable)
            return -9; /* a written head job ends with its viewer */
        if (job->Pixels && CBufferSize(job->Pixels) != (size_t)job->Total - sizeof(ViewerFrame))
            return -22; /* taken pixels are exactly the image's */
        if (job->Owner) {
            for (OvClient *node = OvClients; node; node = node->Next)
                if (node == job->Owner) {
                    known = 1;
                    for (Job *j = node->Jobs; j; j = j->Next)
                        onList += j == job;
                }
            if (!known)
                return -10;
            if (onList != 1)
                return -11;
            owned++;
        }
        queuedCost += JobCost(job);
    }
    if (queuedCost != OvQueued)
        return -19; /* OvQueued is not the cost of what OvQ holds */
    if (owned != listed)
        return -13; /* a listed job is missing from OvQ, or queued twice */
    if (OvStdInOn && !OvExecutable)
        return -14;
    *jobs = size;
    return 0;
}

/* Puts back the initial statics after Dispose, so that the harness can start
 * the next input without reloading the plug-in. */
PLUGIN_EXPORT void OvFuzzReset(void)
{
    OvHandle = NULL;
    OvID = 0;
    OvExecutable = NULL;
    UnclutterID = 0;
    UnclutterRetries = 5;
    OvQ = NULL;
    OvBuffer = NULL;
    OvTotal = -1;
    WriteErrors = 0;
    ReadErrors = 0;
    OvRandomFD = -1;
    OvKey = 0;
    OvClients = NULL;
    OvStdInOn = 0;
    OvClientLimit = (int64_t)64 << 20;
    OvTotalLimit = (int64_t)256 << 20;
    OvClientJobs = 1024;
    OvQueued = 0;
    OvBlocked = NULL;
    OvReleased = 0;
    OvStartedAt = 0;
    OvQuickExits = 0;
    OvRestartDelay = 0;
    OvRestartArgv = NULL;
}
#endif
