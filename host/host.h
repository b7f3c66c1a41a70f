// The event loop and everything it owns: listeners, clients, children and
// the plug-ins. One thread; every plug-in call comes from run().
#pragma once

#include "abi_types.h"
#include "child_stderr.h"
#include "fd.h"
#include "listener.h"
#include "plugin.h"
#include "poller.h"

#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace plughost {

struct Limits {
    std::size_t maxInput = 128u << 20;
    std::size_t maxOutput = 64u << 20;
    std::chrono::milliseconds closeTimeout{5000};
};

using Clock = std::chrono::steady_clock;

struct Client {
    enum class State { Open, Closing, Done };

    ClientRecord record{};
    std::uint64_t id = 0;
    Fd fd;
    Plugin *plugin = nullptr;
    std::unique_ptr<CBuffer> in;
    std::unique_ptr<CBuffer> out;
    State state = State::Open;
    bool closeRequested = false; // CLIENT_CLOSED not yet delivered
    bool dropOutput = false;     // the peer cannot take output any more
    bool dirty = false;          // listed in Host::dirty_
    bool inputSuspended = false; // SuspendClientInput: the socket is not read
    bool watchOutput = false;    // WatchClientOutput armed, at outputLevel
    std::size_t outputLevel = 0;
    std::uint32_t watched = 0;   // events registered with the poller
    Clock::time_point deadline{};
    std::string peer;
};

struct Child {
    ExecutableRecord record{};
    std::uint64_t id = 0;
    Plugin *plugin = nullptr;
    std::vector<std::string> args;
    std::vector<char *> argv;
    Fd pidfd;
    Fd stdinFd;
    Fd stdoutFd;
    Fd stderrFd;                    // read into the log; closed once drained at the exit
    std::optional<StderrLines> errLines;
    bool stdinWatched = false;
    bool stdoutWatched = false;
    bool stdoutStalled = false; // edge-triggered until the plug-in reads again
    bool stdoutSuspended = false; // SuspendExecutableStdOut: not watched meanwhile
    bool stdoutEnded = false;     // end of file offered; never watched again
    // A hang-up on stdin while the child may be exiting: write-ready events
    // wait (stdin unwatched) until the exit or the end of the grace period.
    bool stdinGrace = false;
    bool stdinGraceOver = false; // it lived on: hang-ups are write-ready events
    Clock::time_point graceEnd{};
    bool exited = false;        // status known, EXECUTABLE_EXITED not yet delivered
    bool delivered = false;     // EXECUTABLE_EXITED handled; freed at the end of the turn
    int status = 0;
};

class Host {
public:
    explicit Host(Limits limits);
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Sets up the poller and the termination signals. Returns an error text.
    std::string open();
    void addListener(Listener listener);
    void addPlugin(std::unique_ptr<Plugin> plugin);
    Plugin *findPlugin(const std::string &name) const;
    const std::vector<Listener> &listeners() const { return listeners_; }

    // Calls Initialize of every plug-in, in the order they were added.
    void initializePlugins();
    // Serves until SIGTERM or SIGINT, then calls every Dispose. Returns the
    // exit status.
    int run();
    // One turn of the loop: waits at most timeoutMs (and no longer than the
    // next timer) for events and handles them. False once stopping, or when
    // the poller failed.
    bool turn(int timeoutMs);

    // Host calls made by plug-ins.
    void closeClient(ClientRecord *record);
    int spawn(void *handle, char **argv);
    void watchStdIn(ExecutableRecord *record, bool on);
    void suspendInput(ClientRecord *record, bool suspend);
    void suspendStdOut(ExecutableRecord *record, bool suspend);
    int watchOutput(ClientRecord *record, std::size_t level);
    int setTimeout(void *handle, int milliseconds);
    const char *pluginOption(void *handle, const char *key);
    CBuffer *createBuffer(std::size_t capacity, bool growable);
    // A plug-in wrote to buffer b (ok) or was refused (!ok).
    void bufferWritten(CBuffer *b, bool ok);

private:
    enum class Kind : std::uint64_t { Listener = 1, Client, ChildOut, ChildIn, ChildExit, Signal, ChildErr };
    static std::uint64_t token(Kind kind, std::uint64_t id) { return (static_cast<std::uint64_t>(kind) << 56) | id; }

    void dispatch(const epoll_event &ev);
    int nextTimeoutMs() const;
    void runTimers();
    Plugin *pluginOf(void *handle) const;
    void endOfTurn();
    void shutdown();

    // Clients
    void acceptClients(std::size_t listenerIndex);
    bool acceptOne(Listener &listener);
    void onClientEvent(std::uint64_t id, std::uint32_t events);
    void readClient(Client &c);
    void flush(Client &c);
    void updateInterest(Client &c);
    void markDirty(Client &c); // flushed after the current plug-in call
    void requestClose(Client &c, bool dropOutput = false);
    void deliverClosed(Client &c);
    void finishClient(Client &c);
    void expireDrains();
    Client *findClient(std::uint64_t id);
    Client *liveClient(ClientRecord *record, const char *call);

    // Children
    void onChildOutput(std::uint64_t id, std::uint32_t events);
    void offerOutput(Child &ch, bool atEof);
    void onChildExit(std::uint64_t id);
    void onChildStderr(std::uint64_t id);
    // Reads at most budget bytes of the child's stderr into the log; at the
    // end of the stream (or a read error) the stderr is closed.
    void readStderr(Child &ch, std::size_t budget);
    void closeStderr(Child &ch);
    void deliverExit(Child &ch);
    void stopWatchingStdout(Child &ch);
    bool stdinGoneWithExit(Child &ch, std::uint32_t events);
    void endStdinGraces(Clock::time_point now);
    // How long write-ready events on a closed stdin wait for the child's exit.
    static constexpr std::chrono::milliseconds kExitGrace{50};
    Child *findChild(std::uint64_t id);
    Child *liveChild(ExecutableRecord *record, const char *call);

    // Plug-in calls, each followed by flushing and pending close events.
    void callClient(Client &c, int kind);
    void callChild(Child &ch, int kind);
    void afterPluginCall();

    Limits limits_;
    Poller poller_;
    Fd signalFd_;
    Fd spareFd_; // given up to accept-and-drop a client when descriptors run out
    bool stopping_ = false;
    bool failed_ = false; // the poller failed: run() ends with status 1
    std::uint64_t nextId_ = 1;

    std::vector<Listener> listeners_;
    std::vector<std::unique_ptr<Plugin>> plugins_;
    std::unordered_map<std::uint64_t, std::unique_ptr<Client>> clients_;
    std::unordered_map<const ClientRecord *, Client *> liveClients_;
    std::unordered_map<const CBuffer *, Client *> outBuffers_;
    std::unordered_map<std::uint64_t, std::unique_ptr<Child>> children_;
    std::unordered_map<const ExecutableRecord *, Child *> liveChildren_;

    std::vector<std::uint64_t> dirty_;         // clients whose OutBuffer got bytes
    std::deque<std::uint64_t> outputLow_;      // CLIENT_OUTPUT_LOW to deliver, in order
    std::vector<std::uint64_t> graces_;        // children whose stdin waits for their exit
    std::deque<std::uint64_t> pendingCloses_;  // CLIENT_CLOSED to deliver, in order
    std::vector<std::uint64_t> draining_;      // closed, output still going out
    std::vector<std::uint64_t> doneClients_;
    std::vector<std::uint64_t> doneChildren_;
};

// The host the extern "C" calls act on; set while a Host exists.
Host *currentHost();

} // namespace plughost
