/* A plug-in that exercises the fake host: echoes client data, spawns on
 * "spawn", and makes the wrapped calls on request. */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include "plugin_api.h"

static void *ProbeHandle;
static char *ProbeBlock;
static char *ProbeExtra;
static ClientRecord *ProbeLast; /* the client that set the timer */

void Initialize(void *handle)
{
    ProbeHandle = handle;
    ProbeBlock = malloc(16);
}

void Dispose(void)
{
    free(ProbeBlock);
    free(ProbeExtra);
    ProbeBlock = ProbeExtra = NULL;
}

int ClientHandler(ClientRecord *client, int kind)
{
    char buf[256];
    if (kind != CLIENT_DATA)
        return 0;
    int64_t n = CBufferRead(client->InBuffer, buf, sizeof buf - 1);
    buf[n] = 0;
    if (strcmp(buf, "spawn") == 0) {
        char a0[] = "prog", a1[] = "arg";
        char *argv[] = {a0, a1, NULL};
        int pid = SpawnExecutable(ProbeHandle, argv);
        if (pid > 0)
            kill(pid, SIGTERM);
    } else if (strcmp(buf, "clock") == 0) {
        struct timeval tv;
        if (gettimeofday(&tv, NULL) == 0)
            CBufferWrite(client->OutBuffer, &tv.tv_sec, 4);
        else
            LogMessage(Logger, LOG_ERROR, "clock failed %d", errno);
    } else if (strncmp(buf, "timer ", 6) == 0) {
        ProbeLast = client;
        SetTimeout(ProbeHandle, atoi(buf + 6));
    } else if (strncmp(buf, "option ", 7) == 0) {
        const char *value = GetPluginOption(ProbeHandle, buf + 7);
        CBufferWrite(client->OutBuffer, value ? value : "(null)", strlen(value ? value : "(null)"));
    } else if (strcmp(buf, "pause") == 0) {
        SuspendClientInput(client);
        WatchClientOutput(client, 0);
    } else if (strcmp(buf, "extra") == 0) {
        free(ProbeExtra);
        ProbeExtra = malloc(8);
    } else if (CBufferWrite(client->OutBuffer, buf, (size_t)n) < 0) {
        CloseClient(client);
    }
    return 0;
}

int ExecutableHandler(ExecutableRecord *e, int kind)
{
    char buf[64];
    if (kind == EXECUTABLE_READABLE) {
        ssize_t n = read(e->StdOut, buf, sizeof buf);
        if (n > 0)
            (void)write(e->StdIn, buf, (size_t)n);
        else if (n < 0 && LogIsError(Logger))
            LogMessage(Logger, LOG_ERROR, "read: %s", strerror(errno));
    }
    return 0;
}

int TimeoutHandler(void *unused)
{
    (void)unused;
    if (ProbeLast)
        CBufferWrite(ProbeLast->OutBuffer, "tick", 4);
    return 0;
}
int IOHandler(void *unused) { (void)unused; return 0; }
