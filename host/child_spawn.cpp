#include "child_spawn.h"

#include "plugin_api.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char **environ;

namespace plughost {

namespace {

struct Pipe {
    Fd read;
    Fd write;
};

bool makePipe(Pipe &p, int size)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    p.read.reset(fds[0]);
    p.write.reset(fds[1]);
    if (size > 0)
        ::fcntl(fds[0], F_SETPIPE_SZ, size); // a refusal keeps the default size
    return true;
}

bool setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int spawnErrorCode(int err)
{
    switch (err) {
    case ENOENT:
    case EACCES:
    case ENOEXEC:
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
    case EISDIR:
    case EPERM:
    case ETXTBSY:
    case E2BIG:
    case ELIBBAD:
    case EINVAL:
        return SPAWN_NOT_EXECUTABLE;
    default:
        return SPAWN_NO_RESOURCES;
    }
}

// File actions and attributes, destroyed on every path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    bool actionsReady = false;
    bool attrReady = false;

    ~SpawnSetup()
    {
        if (actionsReady)
            posix_spawn_file_actions_destroy(&actions);
        if (attrReady)
            posix_spawnattr_destroy(&attr);
    }

    bool prepare(int childStdin, int childStdout, int childStderr)
    {
        actionsReady = posix_spawn_file_actions_init(&actions) == 0;
        attrReady = posix_spawnattr_init(&attr) == 0;
        if (!actionsReady || !attrReady)
            return false;
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        return posix_spawn_file_actions_adddup2(&actions, childStdin, STDIN_FILENO) == 0 &&
               posix_spawn_file_actions_adddup2(&actions, childStdout, STDOUT_FILENO) == 0 &&
               posix_spawn_file_actions_adddup2(&actions, childStderr, STDERR_FILENO) == 0 &&
               // Descriptors opened by libraries (the log file) may lack close-on-exec.
               posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0 &&
               posix_spawnattr_setsigmask(&attr, &none) == 0 && posix_spawnattr_setsigdefault(&attr, &all) == 0 &&
               posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    }
};

SpawnedChild failed(int code)
{
    SpawnedChild c;
    c.error = code;
    return c;
}

} // namespace

SpawnedChild spawnChild(char *const argv[])
{
    if (!argv || !argv[0] || !argv[0][0])
        return failed(SPAWN_NOT_EXECUTABLE);
    // stderr keeps the default capacity: the host reads it as it comes.
    Pipe in, out, err;
    if (!makePipe(in, kChildPipeSize) || !makePipe(out, kChildPipeSize) || !makePipe(err, 0))
        return failed(SPAWN_NO_RESOURCES);
    if (!setNonBlocking(in.write.get()) || !setNonBlocking(out.read.get()) || !setNonBlocking(err.read.get()))
        return failed(SPAWN_NO_RESOURCES);
    // The start byte goes in first, so it precedes anything the child writes.
    if (::write(out.write.get(), &kStartByte, 1) != 1)
        return failed(SPAWN_NO_RESOURCES);

    SpawnSetup setup;
    if (!setup.prepare(in.read.get(), out.write.get(), err.write.get()))
        return failed(SPAWN_NO_RESOURCES);
    pid_t pid = 0;
    const bool searchPath = std::strchr(argv[0], '/') == nullptr;
    const int rc = searchPath ? ::posix_spawnp(&pid, argv[0], &setup.actions, &setup.attr, argv, environ)
                              : ::posix_spawn(&pid, argv[0], &setup.actions, &setup.attr, argv, environ);
    if (rc != 0)
        return failed(spawnErrorCode(rc));

    SpawnedChild child;
    child.pid = pid;
    child.pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!child.pidfd) {
        // Without a pidfd the exit would go unnoticed: take the child back.
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        return failed(SPAWN_NO_RESOURCES);
    }
    child.stdinWrite = std::move(in.write);
    child.stdoutRead = std::move(out.read);
    child.stderrRead = std::move(err.read);
    return child;
}

} // namespace plughost
