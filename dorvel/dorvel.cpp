// dorvel: follows one file through directory-change notification on its
// directory and writes every new version of it to standard output as a change
// record (4-byte host-order length, then the file's bytes).

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

// Exit statuses.
enum {
    ExitOK = 0,
    ExitNoMemory = 1,
    ExitSigaction = 2,
    ExitBadOption = 5,
    ExitNoFile = 6,
    ExitTooManyArgs = 7,
    ExitOpenDir = 8,
    ExitFstat = 9,
    ExitNotDir = 10,
    ExitOpenFile = 11,
    ExitNotRegular = 12,
    ExitFcntl = 13,
    ExitWrite = 14,
    ExitRead = 15,
    ExitTooLarge = 16,
};

// Largest version a change record can carry: its Length is a signed 32-bit count.
static const long long MaxVersionSize = INT32_MAX;

// Shared with the signal handlers.
static volatile sig_atomic_t EventFD = -1;
static volatile sig_atomic_t Closing = 0;

static const struct option LongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};
static const char ShortOptions[] = "s:l:h";

static const char UsageText[] =
    "Usage: %s [ options ] [ file ]\n"
    "  -h, --help                  Print this information.\n";

// Main-flow state, kept until exit.
static const char *ProgramName = "dorvel";
static char *File = nullptr;      // the file argument
static char *path = nullptr;      // directory of the file argument
static int DirFD = -1;            // notification is attached to it
static int fd = -1;               // the watched file, open only while reading it
// Both buffers keep RecordHeader bytes in front of the content, where the
// Length is put, so that a record leaves in one write call. They trade places
// when a new version is kept, so each has its own capacity.
static const size_t RecordHeader = sizeof(int32_t);
static char *fsave = nullptr;     // last version written, after its header
static char *fmap = nullptr;      // fresh read of the file, after its header
static int32_t SavedLength = 0;
static int32_t SaveCapacity = 0;
static int32_t MapCapacity = 0;
static bool HaveVersion = false;  // false until a first version has been written

// How a descriptor is written, chosen once at start from what it is.
enum class WriteMode {
    Immediate,    // regular file or block device: a write never waits for a reader
    NonBlocking,  // O_NONBLOCK already set: a full descriptor is waited on in ppoll
    Socket,       // sent with MSG_DONTWAIT, waited on in ppoll
    Blocking,     // pipe, terminal or other device: an armed write (below)
};
struct Output {
    int fd;
    WriteMode mode;
};
static Output Out = {STDOUT_FILENO, WriteMode::Blocking};   // change records
static Output Err = {STDERR_FILENO, WriteMode::Blocking};   // messages

static sigset_t WatchSignals;     // every signal a handler is installed for

// A write that can wait for a reader is "armed": from just before the test of
// Closing to the end of the call, a termination request jumps back out of it.
// So a request that arrives between the test and the call, or while the call
// sleeps after part of the bytes went out, can never leave the program asleep.
static sigjmp_buf WriteJump;
static volatile sig_atomic_t WriteArmed = 0;

static void SIGTERM_Handler(int signal)
{
    (void)signal;
    Closing = 1;
    if (WriteArmed) {
        WriteArmed = 0;
        siglongjmp(WriteJump, 1);
    }
}

// Also installed for SIGIO, which the kernel sends when the queue of real-time
// signals overflows; it carries no descriptor. Any value other than -1 means
// "re-check".
static void SIGRTMIN_Handler(int signal, siginfo_t *info, void *context)
{
    (void)context;
    int eventFD = info != nullptr ? info->si_fd : -1;
    EventFD = eventFD != -1 ? eventFD : signal;
}

// Chooses how a descriptor is written. Its flags are only looked at: they
// belong to an open file description that others may share.
static Output SetUpOutput(int descriptor)
{
    Output out = {descriptor, WriteMode::Blocking};
    struct stat st;
    int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0 || fstat(descriptor, &st) < 0)
        return out;   // writes fail and say why
    if (S_ISSOCK(st.st_mode))
        out.mode = WriteMode::Socket;
    else if (flags & O_NONBLOCK)
        out.mode = WriteMode::NonBlocking;
    else if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))
        out.mode = WriteMode::Immediate;
    return out;
}

// Returned by a write call that a termination request ended.
static const ssize_t WriteStopped = -2;

static ssize_t ArmedWrite(int descriptor, const struct iovec *piece, int count)
{
    if (sigsetjmp(WriteJump, 1) != 0)
        return WriteStopped;
    WriteArmed = 1;
    if (Closing) {
        WriteArmed = 0;
        return WriteStopped;
    }
    ssize_t w = writev(descriptor, piece, count);
    int error = errno;
    WriteArmed = 0;
    errno = error;
    return w;
}

static ssize_t WriteOnce(const Output &out, const struct iovec *piece, int count)
{
    switch (out.mode) {
    case WriteMode::Socket: {
        struct msghdr message;
        memset(&message, 0, sizeof message);
        message.msg_iov = const_cast<struct iovec *>(piece);
        message.msg_iovlen = static_cast<size_t>(count);
        return sendmsg(out.fd, &message, MSG_DONTWAIT);
    }
    case WriteMode::Blocking:
        return ArmedWrite(out.fd, piece, count);
    case WriteMode::Immediate:
    case WriteMode::NonBlocking:
        break;
    }
    return writev(out.fd, piece, count);
}

// Waits until a full non-blocking descriptor has room. Closing is tested with
// the signals blocked and ppoll unblocks them only while it waits, so a
// request arriving in between still ends the wait. Returns 1 to write again,
// 0 on a termination request, -1 on failure (errno set).
static int WaitForRoom(const Output &out)
{
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &WatchSignals, &previous);
    if (Closing) {
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        return 0;
    }
    struct pollfd room = {out.fd, POLLOUT, 0};
    int ready = ppoll(&room, 1, nullptr, &previous);
    int error = errno;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (ready < 0 && error != EINTR) {
        errno = error;
        return -1;
    }
    return 1;
}

enum class Written { All, Stopped, Failed };

// Writes every byte of the pieces, in order, continuing after short writes.
// Once Closing is set only what the descriptor takes at once is written: the
// program never waits for room then, and stops (Written::Stopped).
static Written WriteAll(const Output &out, struct iovec *piece, int count)
{
    for (;;) {
        while (count > 0 && piece->iov_len == 0) {
            ++piece;
            --count;
        }
        if (count == 0)
            return Written::All;
        ssize_t w = WriteOnce(out, piece, count);
        if (w == WriteStopped)
            return Written::Stopped;
        if (w >= 0) {
            size_t done = static_cast<size_t>(w);
            while (count > 0 && done >= piece->iov_len) {
                done -= piece->iov_len;
                ++piece;
                --count;
            }
            if (count > 0) {
                piece->iov_base = static_cast<char *>(piece->iov_base) + done;
                piece->iov_len -= done;
            }
            continue;
        }
        if (errno == EINTR) {
            if (Closing)
                return Written::Stopped;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return Written::Failed;
        int room = WaitForRoom(out);
        if (room == 0)
            return Written::Stopped;
        if (room < 0)
            return Written::Failed;
    }
}

// Writes a message whole, whatever its length, in one call where the
// descriptor takes it: the format's literal runs and its arguments (%s
// strings and %lld numbers, the only conversions messages use) become the
// pieces of one vectored write, so nothing is copied, allocated or cut. A
// failure drops the rest, since there is nowhere else to report it.
static void VPrintTo(const Output &out, const char *format, va_list args)
{
    const int MaxPieces = 16;
    struct iovec piece[MaxPieces];
    char number[MaxPieces / 2][24];
    int count = 0;
    int numbers = 0;
    const char *run = format;
    const char *p = format;
    while (*p != '\0' && count <= MaxPieces - 3) {
        if (p[0] != '%' || (p[1] != 's' && strncmp(p + 1, "lld", 3) != 0)) {
            ++p;
            continue;
        }
        piece[count++] = {const_cast<char *>(run), static_cast<size_t>(p - run)};
        if (p[1] == 's') {
            const char *text = va_arg(args, const char *);
            piece[count++] = {const_cast<char *>(text), strlen(text)};
            p += 2;
        } else {
            int n = snprintf(number[numbers], sizeof number[numbers], "%lld", va_arg(args, long long));
            piece[count++] = {number[numbers++], n > 0 ? static_cast<size_t>(n) : 0};
            p += 4;
        }
        run = p;
    }
    piece[count++] = {const_cast<char *>(run), strlen(run)};
    WriteAll(out, piece, count);
}

static void PrintTo(const Output &out, const char *format, ...) __attribute__((format(printf, 2, 3)));
static void PrintTo(const Output &out, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    VPrintTo(out, format, args);
    va_end(args);
}

static void Print(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void Print(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    VPrintTo(Err, format, args);
    va_end(args);
}

// Closes a descriptor, repeating on EINTR; any other failure is only a warning.
static void CloseDescriptor(int *descriptor)
{
    if (*descriptor < 0)
        return;
    while (close(*descriptor) < 0) {
        if (errno == EINTR)
            continue;
        Print("%s: close failed on file descriptor.  %s.", ProgramName, strerror(errno));
        break;
    }
    *descriptor = -1;
}

static void ReleaseAll()
{
    CloseDescriptor(&fd);
    CloseDescriptor(&DirFD);
    free(fsave);
    fsave = nullptr;
    free(fmap);
    fmap = nullptr;
    free(path);
    path = nullptr;
}

[[noreturn]] static void Finish(int status)
{
    ReleaseAll();
    exit(status);
}

// Prints a message (already formatted by the caller through Print) and ends.
#define FAIL(status, ...)        \
    do {                         \
        Print(__VA_ARGS__);      \
        Finish(status);          \
    } while (0)

static void InstallHandler(int signal, const char *name, bool withInfo)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    if (withInfo) {
        action.sa_sigaction = SIGRTMIN_Handler;
        action.sa_flags = SA_SIGINFO;
    } else {
        action.sa_handler = SIGTERM_Handler;
        action.sa_flags = 0;
    }
    while (sigaction(signal, &action, nullptr) < 0) {
        if (errno == EINTR)
            continue;
        FAIL(ExitSigaction, "%s: sigaction failed for %s.  %s.\n\n", ProgramName, name, strerror(errno));
    }
    sigaddset(&WatchSignals, signal);
}

static void WriteRecord()
{
    int32_t length = SavedLength;
    memcpy(fsave, &length, RecordHeader);
    struct iovec record = {fsave, RecordHeader + static_cast<size_t>(SavedLength)};
    switch (WriteAll(Out, &record, 1)) {
    case Written::All:
        return;
    case Written::Stopped:
        Finish(ExitOK);
    case Written::Failed:
        break;
    }
    FAIL(ExitWrite, "%s: write failed on stdout.  %s.\n\n", ProgramName, strerror(errno));
}

// Reads up to count bytes from the start of the open file. Returns the number
// read, which is less than count only when the file ended early.
static size_t ReadFile(char *buffer, size_t count)
{
    size_t done = 0;
    while (done < count) {
        ssize_t r = read(fd, buffer + done, count - done);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            FAIL(ExitRead, "%s: read failed on fd.  %s.\n\n", ProgramName, strerror(errno));
        }
        if (r == 0)
            break;
        done += static_cast<size_t>(r);
    }
    return done;
}

// Allocates a file buffer. A large one asks for transparent huge pages where
// the system leaves that to the program: reading a big version into it then
// takes far fewer TLB misses, and its first use far fewer page faults.
static char *AllocateBuffer(int32_t size)
{
    const size_t bytes = RecordHeader + static_cast<size_t>(size);
    char *buffer = static_cast<char *>(malloc(bytes));
    const uintptr_t huge = uintptr_t(2) << 20;
    if (buffer != nullptr && bytes >= 2 * huge) {
        uintptr_t start = (reinterpret_cast<uintptr_t>(buffer) + huge - 1) & ~(huge - 1);
        uintptr_t end = (reinterpret_cast<uintptr_t>(buffer) + bytes) & ~(huge - 1);
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);   // only a hint
    }
    return buffer;
}

// Makes fmap, which a fresh read goes into, hold at least size bytes. What
// it holds is not needed any more, so it is replaced rather than grown and
// nothing is copied; the saved version in fsave stays as it is, so a re-check
// that is abandoned later still compares against it.
static void Reserve(int32_t size)
{
    if (size <= MapCapacity)
        return;
    free(fmap);
    fmap = AllocateBuffer(size);
    if (fmap == nullptr)
        FAIL(ExitNoMemory, "%s: malloc failed on fmap.\n\n", ProgramName);
    MapCapacity = size;
}

// Reads the watched file once and writes it as a record when it differs from
// the last version written (or when none was written yet). Returns true when
// the file should be read again at once.
static bool Recheck()
{
    for (;;) {
        fd = open(File, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0)
            break;
        if (errno == EINTR) {
            if (Closing)
                Finish(ExitOK);
            continue;
        }
        if (errno == ENOENT)
            return false;
        FAIL(ExitOpenFile, "%s: open failed on %s.  %s.\n\n", ProgramName, File, strerror(errno));
    }

    struct stat st;
    if (fstat(fd, &st) < 0)
        FAIL(ExitFstat, "%s: fstat failed on %s:  %s.\n\n", ProgramName, File, strerror(errno));
    if (!S_ISREG(st.st_mode))
        FAIL(ExitNotRegular, "%s:  %s is not a regular file.\n\n", ProgramName, File);
    if (st.st_size == 0) {
        // Nothing to read yet: the write that gives it content is notified.
        CloseDescriptor(&fd);
        return false;
    }
    if (st.st_size > MaxVersionSize)
        FAIL(ExitTooLarge, "%s: %s is too large.  %lld bytes, at most %lld are supported.\n\n",
             ProgramName, File, static_cast<long long>(st.st_size), MaxVersionSize);

    int32_t size = static_cast<int32_t>(st.st_size);
    Reserve(size);
    size_t got = ReadFile(fmap + RecordHeader, static_cast<size_t>(size));
    if (got < static_cast<size_t>(size)) {
        // The file ended early. If its size changed meanwhile it shrank while
        // being read: never write a torn version, read it again at once.
        // Otherwise its size does not tell its content (as in /sys): what was
        // read is the whole version, and its Length is the count read.
        struct stat now;
        if (fstat(fd, &now) < 0 || now.st_size != st.st_size) {
            CloseDescriptor(&fd);
            return true;
        }
        if (got == 0) {
            CloseDescriptor(&fd);
            return false;
        }
        size = static_cast<int32_t>(got);
    }
    CloseDescriptor(&fd);

    bool changed = !HaveVersion || size != SavedLength ||
                   memcmp(fmap + RecordHeader, fsave + RecordHeader, static_cast<size_t>(size)) != 0;
    if (!changed)
        return false;
    // The fresh read becomes the saved version: the buffers trade places.
    char *swap = fsave;
    fsave = fmap;
    fmap = swap;
    int32_t capacity = SaveCapacity;
    SaveCapacity = MapCapacity;
    MapCapacity = capacity;
    SavedLength = size;
    HaveVersion = true;
    WriteRecord();
    return false;
}

int main(int argc, char **argv)
{
    if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0') {
        const char *slash = strrchr(argv[0], '/');
        ProgramName = slash != nullptr ? slash + 1 : argv[0];
    }

    Out = SetUpOutput(STDOUT_FILENO);
    Err = SetUpOutput(STDERR_FILENO);
    sigemptyset(&WatchSignals);
    InstallHandler(SIGTERM, "SIGTERM", false);
    InstallHandler(SIGINT, "SIGINT", false);
    InstallHandler(SIGQUIT, "SIGQUIT", false);
    InstallHandler(SIGHUP, "SIGHUP", false);
    InstallHandler(SIGRTMIN, "SIGRTMIN", true);
    InstallHandler(SIGIO, "SIGIO", true);
    // A parent may have left some of them blocked; they must reach us.
    sigprocmask(SIG_UNBLOCK, &WatchSignals, nullptr);

    for (;;) {
        int option = getopt_long(argc, argv, ShortOptions, LongOptions, nullptr);
        if (option == -1)
            break;
        if (option == '?') {
            Print("%s: Invalid option specified.\n\n", ProgramName);
            PrintTo(Err, UsageText, ProgramName);
            return ExitBadOption;
        }
        if (option == 'h') {
            PrintTo(Out, UsageText, ProgramName);
            return ExitOK;
        }
    }

    if (optind >= argc) {
        Print("%s: No file specified.\n\n", ProgramName);
        PrintTo(Err, UsageText, ProgramName);
        return ExitNoFile;
    }
    File = argv[optind];
    size_t fileLength = strlen(File);
    if (fileLength > 0 && File[fileLength - 1] == '/')
        File[--fileLength] = '\0';

    const char *lastSlash = strrchr(File, '/');
    if (lastSlash == nullptr) {
        path = static_cast<char *>(malloc(2));
        if (path == nullptr)
            FAIL(ExitNoMemory, "%s: malloc failed on path.\n\n", ProgramName);
        memcpy(path, ".", 2);
    } else if (lastSlash == File) {
        // A file directly under the root directory.
        path = strdup("/");
        if (path == nullptr)
            FAIL(ExitNoMemory, "%s: strdup failed on path.\n\n", ProgramName);
    } else {
        path = strndup(File, static_cast<size_t>(lastSlash - File));
        if (path == nullptr)
            FAIL(ExitNoMemory, "%s: strdup failed on path.\n\n", ProgramName);
    }

    if (optind + 1 < argc) {
        Print("%s: To many  arguments specified.\n\n", ProgramName);
        free(path);
        path = nullptr;
        PrintTo(Err, UsageText, ProgramName);
        return ExitTooManyArgs;
    }

    DirFD = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (DirFD < 0)
        FAIL(ExitOpenDir, "%s: open failed on %s: %s.\n\n", ProgramName, path, strerror(errno));
    struct stat st;
    if (fstat(DirFD, &st) < 0)
        FAIL(ExitFstat, "%s: fstat failed on %s: %s.\n\n", ProgramName, path, strerror(errno));
    if (!S_ISDIR(st.st_mode))
        FAIL(ExitNotDir, "%s: %s is not a valid directory.\n\n", ProgramName, path);
    if (fcntl(DirFD, F_SETSIG, SIGRTMIN) < 0)
        FAIL(ExitFcntl, "%s: fcntl failed on F_SETSIG.  %s.\n\n", ProgramName, strerror(errno));
    // Creation and renaming are watched too: a version put in place by a
    // rename (editors, mv) or moved in from elsewhere writes nothing.
    if (fcntl(DirFD, F_NOTIFY, DN_MODIFY | DN_CREATE | DN_RENAME | DN_MULTISHOT) < 0)
        FAIL(ExitFcntl, "%s: fcntl failed on F_NOTIFY.  %s.\n\n", ProgramName, strerror(errno));

    // One-byte buffers until a version is read (the missing-at-start state).
    SaveCapacity = 1;
    MapCapacity = 1;
    SavedLength = 1;
    fmap = static_cast<char *>(malloc(RecordHeader + 1));
    if (fmap == nullptr)
        FAIL(ExitNoMemory, "%s: malloc failed on fmap.\n\n", ProgramName);
    fsave = static_cast<char *>(malloc(RecordHeader + 1));
    if (fsave == nullptr)
        FAIL(ExitNoMemory, "%s: malloc failed on fsave.\n\n", ProgramName);

    bool again = Recheck();
    for (;;) {
        // The tests and the wait happen with the signals blocked, so none
        // that arrives in between is lost: sigwaitinfo takes it from the
        // pending set, and it is passed to its handler here. Outside the wait
        // the handlers run as usual.
        sigset_t previous;
        sigprocmask(SIG_BLOCK, &WatchSignals, &previous);
        while (!Closing && EventFD == -1 && !again) {
            siginfo_t info;
            int taken = sigwaitinfo(&WatchSignals, &info);
            if (taken == SIGRTMIN || taken == SIGIO)
                SIGRTMIN_Handler(taken, &info, nullptr);
            else if (taken > 0)
                SIGTERM_Handler(taken);
        }
        if (Closing) {
            sigprocmask(SIG_SETMASK, &previous, nullptr);
            Finish(ExitOK);
        }
        EventFD = -1;
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        again = Recheck();
    }
}
