/* Preloaded into dorvel by a test: the first write to standard output raises
 * SIGTERM in the process just before the call reaches the kernel, as a
 * termination request that arrives after the program last tested Closing.
 * The write must then not sleep, however full standard output is. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

static volatile sig_atomic_t Raised = 0;

static void RaiseOnce(int fd)
{
    if (fd == STDOUT_FILENO && !Raised) {
        Raised = 1;
        raise(SIGTERM);
    }
}

ssize_t write(int fd, const void *data, size_t count)
{
    static ssize_t (*next)(int, const void *, size_t);
    if (next == NULL)
        *(void **)&next = dlsym(RTLD_NEXT, "write");
    RaiseOnce(fd);
    return next(fd, data, count);
}

ssize_t writev(int fd, const struct iovec *pieces, int count)
{
    static ssize_t (*next)(int, const struct iovec *, int);
    if (next == NULL)
        *(void **)&next = dlsym(RTLD_NEXT, "writev");
    RaiseOnce(fd);
    return next(fd, pieces, count);
}
