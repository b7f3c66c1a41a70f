// dorvel: follows one file through directory-change notification on its
// directory and writes every new version of it to standard output as a change
// record (4-byte host-order length, then the file's bytes).

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
// Length is put, so that a record leaves in one write call.
static const size_t RecordHeader = sizeof(int32_t);
static char *fsave = nullptr;     // last version written, after its header
static char *fmap = nullptr;      // fresh read of the file, after its header
static int32_t SavedLength = 0;
static int32_t Capacity = 0;
static bool HaveVersion = false;  // false until a first version has been written

// Standard output: OutFD is the descriptor records go to. Where it can be
// made so, writes never wait; waiting for room is done in ppoll, so that a
// termination request is never missed while standard output is full.
static int OutFD = STDOUT_FILENO;
static bool OutOwned = false;     // OutFD is our own reopened descriptor
static bool OutSocket = false;    // written with MSG_DONTWAIT

static sigset_t WatchSignals;     // every signal a handler is installed for

static void SIGTERM_Handler(int signal)
{
    (void)signal;
    Closing = 1;
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

// Writes a message whole, repeating on EINTR; a failure drops the rest, since
// there is nowhere else to report it.
static void WriteText(int fd, const char *p, size_t length)
{
    while (length > 0) {
        ssize_t w = write(fd, p, length);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        p += w;
        length -= static_cast<size_t>(w);
    }
}

static void Print(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void Print(const char *format, ...)
{
    char text[4096];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        return;
    size_t length = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    WriteText(STDERR_FILENO, text, length);
}

static void PrintUsage(int out)
{
    char text[sizeof UsageText + 256];
    int n = snprintf(text, sizeof text, UsageText, ProgramName);
    if (n < 0)
        return;
    size_t length = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    WriteText(out, text, length);
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
    if (OutOwned)
        CloseDescriptor(&OutFD);
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

// Chooses how records reach standard output. A socket is written with
// MSG_DONTWAIT and a descriptor that is already non-blocking is used as it is;
// a blocking pipe is reopened through /proc as a non-blocking descriptor of
// our own, which leaves the shared one untouched. Anything else (terminal,
// regular file) gets plain blocking writes.
static void SetUpOutput()
{
    struct stat st;
    if (fstat(STDOUT_FILENO, &st) < 0)
        return;
    int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags < 0)
        return;
    if (S_ISSOCK(st.st_mode)) {
        OutSocket = true;
        return;
    }
    if (flags & O_NONBLOCK)
        return;
    if (!S_ISFIFO(st.st_mode))
        return;
    int reopened = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (reopened < 0)
        return;
    struct stat again;
    if (fstat(reopened, &again) < 0 || again.st_ino != st.st_ino || again.st_dev != st.st_dev) {
        CloseDescriptor(&reopened);
        return;
    }
    OutFD = reopened;
    OutOwned = true;
}

// Writes a record. Returns false when the program is to stop because of a
// termination request. Once Closing is set, bytes are still written as long
// as standard output takes them at once, but the program never waits for room.
static bool WriteAll(const char *data, size_t count)
{
    while (count > 0) {
        ssize_t w;
        if (OutSocket)
            w = send(OutFD, data, count, MSG_DONTWAIT);
        else
            w = write(OutFD, data, count);
        if (w >= 0) {
            data += w;
            count -= static_cast<size_t>(w);
            continue;
        }
        if (errno == EINTR) {
            if (Closing)
                return false;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            FAIL(ExitWrite, "%s: write failed on stdout.  %s.\n\n", ProgramName, strerror(errno));

        // Standard output is full. Closing is tested with the signals
        // blocked and ppoll unblocks them only while it waits, so a request
        // arriving in between still ends the wait.
        sigset_t previous;
        sigprocmask(SIG_BLOCK, &WatchSignals, &previous);
        if (Closing) {
            sigprocmask(SIG_SETMASK, &previous, nullptr);
            return false;
        }
        struct pollfd out = {OutFD, POLLOUT, 0};
        int ready = ppoll(&out, 1, nullptr, &previous);
        int error = errno;
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (ready < 0 && error != EINTR)
            FAIL(ExitWrite, "%s: write failed on stdout.  %s.\n\n", ProgramName, strerror(error));
    }
    return true;
}

static void WriteRecord()
{
    int32_t length = SavedLength;
    memcpy(fsave, &length, RecordHeader);
    if (!WriteAll(fsave, RecordHeader + static_cast<size_t>(SavedLength)))
        Finish(ExitOK);
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

// Makes both buffers hold at least size bytes. The saved version survives,
// so a re-check that is abandoned later still compares against it.
static void Reserve(int32_t size)
{
    if (size <= Capacity)
        return;
    free(fmap);
    fmap = static_cast<char *>(malloc(RecordHeader + static_cast<size_t>(size)));
    if (fmap == nullptr)
        FAIL(ExitNoMemory, "%s: malloc failed on fmap.\n\n", ProgramName);
    char *grown = static_cast<char *>(realloc(fsave, RecordHeader + static_cast<size_t>(size)));
    if (grown == nullptr)
        FAIL(ExitNoMemory, "%s: malloc failed on fsave.\n\n", ProgramName);
    fsave = grown;
    Capacity = size;
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
    char *swap = fsave;
    fsave = fmap;
    fmap = swap;
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
            PrintUsage(STDERR_FILENO);
            return ExitBadOption;
        }
        if (option == 'h') {
            PrintUsage(STDOUT_FILENO);
            return ExitOK;
        }
    }

    if (optind >= argc) {
        Print("%s: No file specified.\n\n", ProgramName);
        PrintUsage(STDERR_FILENO);
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
        PrintUsage(STDERR_FILENO);
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

    SetUpOutput();

    // One-byte buffers until a version is read (the missing-at-start state).
    Capacity = 1;
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
