// A plug-in that the system tests drive over a client connection. Commands
// are lines; answers are lines, and a child's output is relayed as
// "out N\n" followed by N raw bytes. See host_system_test.cpp for use.
// It also counts what a correct host never does: a call made while another
// call into the plug-in is running, a CLIENT_DATA for a client whose input it
// suspended, a readable event for a suspended stdout ("errors" in "stats").
#include "plugin_api.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

enum class ReadMode { Relay, Slow, Lazy, Count };

struct Node {
    ClientRecord *client = nullptr;
    int pid = 0; // current child, 0 when none
    ReadMode mode = ReadMode::Relay;
    bool wantWrite = false;
    bool suspended = false; // SuspendClientInput in effect
    bool stdoutSuspended = false;
    bool pauseOnFirst = false; // "spawnpaused": suspend at the first readable event
    long long bytes = 0;       // read from the child's stdout
    int readable = 0;          // readable events for the child
    long long sink = 0;        // raw bytes still to swallow ("sink N")
    long long sunk = 0;
    size_t maxData = 0; // most bytes one CLIENT_DATA brought while sinking
    Node *next = nullptr;
};

void *Handle = nullptr;
Node *Nodes = nullptr;
int Connects = 0, Closes = 0, Errors = 0;
int Depth = 0;           // calls into the plug-in under way
int TimerGeneration = 0; // "timer" commands so far
ClientRecord *TimerClient = nullptr;

// Counts a nested call (the host must never call in while a call runs).
struct InCall {
    InCall()
    {
        if (Depth++ > 0)
            ++Errors;
    }
    ~InCall() { --Depth; }
};

void say(ClientRecord *c, const std::string &text)
{
    if (CBufferWrite(c->OutBuffer, text.data(), text.size()) < 0)
        ++Errors;
}

Node *byClient(ClientRecord *c)
{
    for (Node *n = Nodes; n; n = n->next)
        if (n->client == c)
            return n;
    return nullptr;
}

Node *byPid(int pid)
{
    for (Node *n = Nodes; n; n = n->next)
        if (pid > 0 && n->pid == pid)
            return n;
    return nullptr;
}

void removeNode(Node *node)
{
    for (Node **p = &Nodes; *p; p = &(*p)->next) {
        if (*p == node) {
            *p = node->next;
            delete node;
            return;
        }
    }
}

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const auto at = s.find(sep, start);
        parts.push_back(s.substr(start, at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

// "spawn ARG|ARG|..." with the argument vector freed right after the call.
void spawn(Node *node, const std::string &args, ReadMode mode)
{
    const auto parts = split(args, '|');
    char **argv = static_cast<char **>(calloc(parts.size() + 1, sizeof(char *)));
    for (size_t i = 0; i < parts.size(); ++i)
        argv[i] = strdup(parts[i].c_str());
    const int pid = SpawnExecutable(Handle, argv);
    for (size_t i = 0; i < parts.size(); ++i)
        free(argv[i]);
    free(argv);
    if (pid > 0) {
        node->pid = pid;
        node->mode = mode;
        node->bytes = 0;
        node->readable = 0;
        node->wantWrite = false;
    }
    say(node->client, "spawned " + std::to_string(pid) + "\n");
}

ExecutableRecord *Records[64]; // records seen, by slot; found by pid

ExecutableRecord *recordOf(int pid)
{
    for (ExecutableRecord *r : Records)
        if (r && r->Pid == pid)
            return r;
    return nullptr;
}

void remember(ExecutableRecord *e)
{
    if (recordOf(e->Pid))
        return;
    for (ExecutableRecord *&r : Records)
        if (!r) {
            r = e;
            return;
        }
}

void forget(ExecutableRecord *e)
{
    for (ExecutableRecord *&r : Records)
        if (r == e)
            r = nullptr;
}

void commands(Node *node);

void command(Node *node, const std::string &line)
{
    ClientRecord *c = node->client;
    const auto space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
    ExecutableRecord *child = recordOf(node->pid);
    if (verb == "echo") {
        say(c, arg + "\n");
    } else if (verb == "swapecho") { // the line reaches OutBuffer by an exchange of buffers
        CBuffer *b = CBufferCreate(0, 1);
        const std::string text = arg + "\n";
        if (!b || CBufferWrite(b, text.data(), text.size()) < 0 || CBufferSwap(c->OutBuffer, b) < 0 ||
            CBufferSize(b) != 0)
            ++Errors;
        CBufferDispose(b);
    } else if (verb == "close") {
        say(c, arg + "\n");
        CloseClient(c);
        CloseClient(c);              // asking twice still gives one close event
    } else if (verb == "closeall") { // every other client, in one call
        int n = 0;
        for (Node *other = Nodes; other; other = other->next) {
            if (other != node) {
                CloseClient(other->client);
                ++n;
            }
        }
        say(c, "closing " + std::to_string(n) + "\n");
    } else if (verb == "closebig") {
        const size_t n = strtoul(arg.c_str(), nullptr, 10);
        std::string data(n, '\0');
        for (size_t i = 0; i < n; ++i)
            data[i] = static_cast<char>(i % 251);
        say(c, data);
        CloseClient(c);
    } else if (verb == "spawn") {
        spawn(node, arg, ReadMode::Relay);
    } else if (verb == "spawnslow") {
        spawn(node, arg, ReadMode::Slow);
    } else if (verb == "spawnlazy") {
        spawn(node, arg, ReadMode::Lazy);
    } else if (verb == "spawnpaused") {
        spawn(node, arg, ReadMode::Count);
        node->pauseOnFirst = node->pid > 0;
    } else if (verb == "outresume" && child) {
        node->stdoutSuspended = false;
        ResumeExecutableStdOut(child);
        say(c, "ok\n");
    } else if (verb == "count") {
        say(c, "count " + std::to_string(node->bytes) + "\n");
    } else if (verb == "suspend") {
        node->suspended = true;
        SuspendClientInput(c);
        SuspendClientInput(c); // twice: idempotent
        say(c, "suspended\n");
    } else if (verb == "resumeall") {
        int n = 0;
        for (Node *other = Nodes; other; other = other->next) {
            if (!other->suspended)
                continue;
            other->suspended = false;
            ResumeClientInput(other->client);
            ++n;
            commands(other); // what waits in InBuffer is not announced again
        }
        say(c, "resumed " + std::to_string(n) + "\n");
    } else if (verb == "sink") {
        node->sink = atoll(arg.c_str());
        node->sunk = 0;
        node->maxData = 0;
        say(c, "sinking\n");
    } else if (verb == "watch") {
        const int r = WatchClientOutput(c, strtoul(arg.c_str(), nullptr, 10));
        say(c, "watch " + std::to_string(r) + "\n");
    } else if (verb == "big") {
        say(c, std::string(strtoul(arg.c_str(), nullptr, 10), 'b'));
    } else if (verb == "timer") {
        TimerClient = c;
        ++TimerGeneration;
        say(c, "timer " + std::to_string(SetTimeout(Handle, atoi(arg.c_str()))) + "\n");
    } else if (verb == "timerbad") {
        say(c, "timer " + std::to_string(SetTimeout(&Nodes, 5)) + "\n");
    } else if (verb == "option") {
        const char *value = GetPluginOption(Handle, arg.c_str());
        say(c, "option " + std::string(value ? value : "(null)") + "\n");
    } else if (verb == "write" && child) {
        const std::string text = arg + "\n";
        say(c, "wrote " + std::to_string(write(child->StdIn, text.data(), text.size())) + "\n");
    } else if (verb == "fill" && child) {
        static char block[65536];
        long long total = 0;
        for (;;) {
            const ssize_t n = write(child->StdIn, block, sizeof block);
            if (n > 0)
                total += n;
            else if (!(n < 0 && errno == EINTR))
                break;
        }
        say(c, "filled " + std::to_string(total) + "\n");
    } else if (verb == "wron" && child) {
        node->wantWrite = true;
        AddExecutableStdIn(child);
        say(c, "ok\n");
    } else if (verb == "wroff" && child) {
        node->wantWrite = false;
        RemoveExecutableStdIn(child);
        say(c, "ok\n");
    } else if (verb == "kill" && node->pid > 0) {
        kill(node->pid, atoi(arg.c_str()));
        say(c, "killed\n");
    } else if (verb == "stats") {
        say(c, "stats connects " + std::to_string(Connects) + " closes " + std::to_string(Closes) + " errors " +
                   std::to_string(Errors) + "\n");
    } else if (verb == "moduledir") {
        say(c, std::string(ModuleDirectory) + "\n");
    } else if (verb == "ping") {
        say(c, "pong\n");
    } else {
        say(c, "unknown " + line + "\n");
    }
}

// Takes every complete line out of InBuffer; a partial line stays there.
void commands(Node *node)
{
    CBuffer *in = node->client->InBuffer;
    std::string line;
    for (;;) {
        if (node->sink > 0) {
            const size_t size = CBufferSize(in);
            const size_t n = size < static_cast<size_t>(node->sink) ? size : static_cast<size_t>(node->sink);
            CBufferRemove(in, n);
            node->sink -= static_cast<long long>(n);
            node->sunk += static_cast<long long>(n);
            if (node->sink > 0)
                return;
            say(node->client, "sunk " + std::to_string(node->sunk) + " max " + std::to_string(node->maxData) + "\n");
        }
        const size_t size = CBufferSize(in);
        char buf[4096];
        const size_t n = size < sizeof buf ? size : sizeof buf;
        CBufferPeek(in, buf, n);
        const void *nl = memchr(buf, '\n', n);
        if (!nl)
            return;
        if (node->suspended)
            return; // "resumeall" runs the rest
        const size_t len = static_cast<size_t>(static_cast<const char *>(nl) - buf);
        line.assign(buf, len);
        CBufferRemove(in, len + 1);
        command(node, line);
        if (!byClient(node->client))
            return;
    }
}

void readChild(Node *node, ExecutableRecord *e)
{
    if (node->mode == ReadMode::Lazy)
        return;
    if (node->stdoutSuspended)
        ++Errors; // no readable event while suspended
    if (node->pauseOnFirst) {
        node->pauseOnFirst = false;
        node->stdoutSuspended = true;
        SuspendExecutableStdOut(e);
        SuspendExecutableStdOut(e); // twice: idempotent
        say(node->client, "paused\n");
        return;
    }
    char buf[65536];
    const size_t chunk = node->mode == ReadMode::Slow ? 4096 : sizeof buf;
    for (;;) {
        const ssize_t n = read(e->StdOut, buf, chunk);
        if (n > 0) {
            node->bytes += n;
            if (node->mode == ReadMode::Count)
                continue;
            if (node->mode == ReadMode::Relay) {
                say(node->client, "out " + std::to_string(n) + "\n");
                say(node->client, std::string(buf, static_cast<size_t>(n)));
            }
            if (node->mode == ReadMode::Slow)
                return;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 && node->mode == ReadMode::Relay)
            say(node->client, "eof\n");
        return;
    }
}

} // namespace

extern "C" {

void Initialize(void *handle)
{
    InCall call;
    Handle = handle;
    const char *greeting = GetPluginOption(handle, "greeting");
    LogMessage(Logger, LOG_WARN, "test plugin: Initialize, module directory %s, greeting %s", ModuleDirectory,
               greeting ? greeting : "(none)");
}

void Dispose(void)
{
    int n = 0;
    while (Nodes) {
        removeNode(Nodes);
        ++n;
    }
    LogMessage(Logger, LOG_WARN, "test plugin: Dispose called with %d clients", n);
}

int ClientHandler(ClientRecord *client, int kind)
{
    InCall call;
    Node *node = byClient(client);
    switch (kind) {
    case CLIENT_CONNECTED:
        if (node)
            ++Errors;
        node = new Node;
        node->client = client;
        node->next = Nodes;
        Nodes = node;
        ++Connects;
        break;
    case CLIENT_DATA:
        if (!node || node->suspended) {
            ++Errors;
            break;
        }
        if (node->sink > 0) {
            const size_t size = CBufferSize(client->InBuffer);
            if (size > node->maxData)
                node->maxData = size;
        }
        commands(node);
        break;
    case CLIENT_OUTPUT_LOW:
        if (node)
            say(client, "low " + std::to_string(CBufferSize(client->OutBuffer)) + "\n");
        break;
    case CLIENT_CLOSED:
        if (!node) {
            ++Errors;
            break;
        }
        ++Closes;
        if (TimerClient == client)
            TimerClient = nullptr;
        if (node->pid > 0)
            kill(node->pid, SIGKILL);
        removeNode(node);
        break;
    default:
        break;
    }
    return 0;
}

int ExecutableHandler(ExecutableRecord *e, int kind)
{
    InCall call;
    remember(e);
    Node *node = byPid(e->Pid);
    switch (kind) {
    case EXECUTABLE_READABLE:
        if (node) {
            ++node->readable;
            readChild(node, e);
        } else {
            char buf[4096];
            while (read(e->StdOut, buf, sizeof buf) > 0) {
            }
        }
        break;
    case EXECUTABLE_WRITE_READY:
        if (!node)
            break;
        if (!node->wantWrite) {
            say(node->client, "unexpected-wready\n");
            ++Errors;
        } else {
            say(node->client, "wready\n");
            node->wantWrite = false;
            RemoveExecutableStdIn(e);
        }
        break;
    case EXECUTABLE_EXITED:
        if (node) {
            say(node->client, "exit " + std::to_string(e->Status) + " bytes " + std::to_string(node->bytes) +
                                  " argv0 " + e->Argv[0] + "\n");
            node->pid = 0;
        }
        forget(e);
        break;
    default:
        break;
    }
    return 0;
}

int TimeoutHandler(void *)
{
    InCall call;
    if (TimerClient)
        say(TimerClient, "timeout " + std::to_string(TimerGeneration) + "\n");
    return 0;
}
int IOHandler(void *) { return 0; }

} // extern "C"
