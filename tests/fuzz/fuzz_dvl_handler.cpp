// Fuzzes the file-watch plug-in through the fake host: clients send arbitrary
// path streams cut into arbitrary data events; each watcher writes its start
// byte, then change records or arbitrary bytes, cut arbitrarily, and exits at
// any moment; clients hang up; failures are injected.
//
// Checked after every event, besides ASan/UBSan:
// - a client's output is reply code 0, the start reply 0, then whole records
//   exactly as the watcher wrote them (length made big-endian), in order, and
//   at most one closing code (18, 23, 25) that nothing follows; a closing
//   code, a missing start reply or a cut record only on a client that is
//   being closed (the last two after injected write failures);
// - the watcher is started with ModuleDirectory/dorvel.exe and the bytes up
//   to the first NUL, only once a NUL has come, and only for a path of at
//   most 4096 bytes;
// - the plug-in keeps exactly one allocation per client node between events;
// - every kill is a SIGTERM to a live watcher with a pid above 0; closing a
//   client (or Dispose) stops its live watcher; a readable event for a
//   watcher without a client reads nothing;
// - nothing is written to a client, and it is not closed again, after its
//   close event; nothing is left allocated after Dispose;
// - with a small output watermark (drawn now and then), a client that does
//   not take its output has its watcher's output suspended; like the host,
//   the harness then offers no readable event, and reports the drain
//   (CLIENT_OUTPUT_LOW) when the client has taken its output; what the client
//   took and what is still unsent together obey the rules above.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"

using namespace fakehost;

namespace {

constexpr int kMaxOpen = 4;
constexpr int kMaxClientsTotal = 10;
constexpr int kMaxSteps = 400;
constexpr std::size_t kMaxPath = 4096;
// A watcher's pipe holds one page, so records of a few pages already take
// several reads and events, as 64 KiB pipes do with far larger ones.
constexpr int kWatcherPipe = 4096;

std::string le32(int32_t v)
{
    std::string s(4, '\0');
    std::memcpy(s.data(), &v, 4);
    return s;
}

struct Client {
    ClientRecord *rec = nullptr;
    int closesSeen = 0;
    bool closed = false;
    std::size_t outAtClose = 0;
    bool hasNode = false;
    bool awaitingPath = true; // the plug-in's state as the harness expects it
    std::string path;         // bytes gathered while the path is awaited
    std::string taken;        // output the client has read so far
    int watcher = 0;          // pid started for it
    bool desynced = false;    // its watcher's stream was disturbed
    // The output as last found good: its length, and whether the client was
    // being closed then. Output only grows, a watcher's stream too, and being
    // closed only allows more, so output found good stays good until it
    // grows or the client starts closing.
    std::size_t checkedSize = 0;
    bool checkedClosing = false;
};

struct Watcher {
    int pid = 0;
    std::size_t client = 0;
    Child *child = nullptr;
    bool exited = false;
    bool killed = false;
    std::string written; // bytes put into the pipe after the start byte
    std::string toWrite; // bytes not yet in the pipe
    // The records in `written` as the client is to receive them (length made
    // big-endian), as far as they are whole and framable (the plug-in stops
    // at a negative or oversized length), and where the next one starts.
    std::vector<std::string> records;
    std::size_t framed = 0;

    const std::vector<std::string> &wholeRecords()
    {
        while (framed + 4 <= written.size()) {
            int32_t len;
            std::memcpy(&len, written.data() + framed, 4);
            if (len < 0 || len > INT32_MAX - 4 || framed + 4 + static_cast<std::size_t>(len) > written.size())
                break;
            records.push_back(be32(static_cast<uint32_t>(len)));
            records.back().append(written, framed + 4, static_cast<std::size_t>(len));
            framed += 4 + static_cast<std::size_t>(len);
        }
        return records;
    }
};

bool closing(uint32_t w) { return w == 18 || w == 23 || w == 25; }

class DvlRun {
public:
    explicit DvlRun(FuzzedDataProvider &in) : in_(in) {}
    void run(fakehost::Plugin &plugin);

private:
    template <typename F> void call(F &&f, Client *connecting = nullptr, Client *closingClient = nullptr)
    {
        std::size_t live = liveAllocations();
        f();
        std::size_t now = liveAllocations();
        if (connecting) {
            FUZZ_CHECK(now == live || now == live + 1, "%zu -> %zu allocations on connect", live, now);
            connecting->hasNode = now == live + 1;
        } else if (closingClient) {
            std::size_t expect = live - (closingClient->hasNode ? 1 : 0);
            FUZZ_CHECK(now == expect, "%zu -> %zu allocations on close (node: %d)", live, now, closingClient->hasNode);
            closingClient->hasNode = false;
        } else {
            FUZZ_CHECK(now == live, "%zu -> %zu allocations in an event", live, now);
        }
        after();
    }

    void after()
    {
        for (; spawnsSeen_ < spawns().size(); spawnsSeen_++) {
            const SpawnCall &s = spawns()[spawnsSeen_];
            FUZZ_CHECK(spawnFor_, "a watcher started outside a data event");
            FUZZ_CHECK(s.handle == handle_, "spawn with another handle");
            FUZZ_CHECK(s.argv.size() == 2 && s.argv[0] == std::string(ModuleDirectory) + "/dorvel.exe", "watcher argv");
            spawnArg_ = s.argv[1];
            spawned_++;
            spawnResult_ = s.result;
            if (s.result > 0) {
                Watcher &w = watchers_[s.result];
                w.pid = s.result;
                w.client = static_cast<std::size_t>(spawnFor_ - clients_.data());
                w.child = &newChild(s.result, kWatcherPipe, Pipes::Memory);
                w.child->writeOut("S"); // the host's start byte
                spawnFor_->watcher = s.result;
            }
        }
        for (; killsSeen_ < kills().size(); killsSeen_++) {
            auto [pid, sig] = kills()[killsSeen_];
            FUZZ_CHECK(pid > 0 && sig == SIGTERM, "kill(%d, %d)", pid, sig);
            auto it = watchers_.find(pid);
            FUZZ_CHECK(it != watchers_.end(), "kill of pid %d that was never started", pid);
            FUZZ_CHECK(!it->second.exited, "kill of pid %d after its exit was handled", pid);
            it->second.killed = true;
            Client &c = clients_[it->second.client];
            if (!c.closed)
                c.desynced = true; // stopped on a read failure: its output no longer counts
        }
        if (disposing_)
            return;
        for (bool more = true; more;) {
            more = false;
            for (Client &c : clients_) {
                int n = closeCount(c.rec);
                if (n == c.closesSeen)
                    continue;
                FUZZ_CHECK(!c.closed, "CloseClient for a client after its close event");
                c.closesSeen = n;
                deliverClose(c);
                more = true;
                break;
            }
        }
        for (Client &c : clients_)
            checkOutput(c);
    }

    void deliverClose(Client &c)
    {
        c.closed = true;
        bool live = false;
        if (c.watcher > 0) {
            Watcher &w = watchers_[c.watcher];
            live = !w.exited && !w.killed;
        }
        call(
            [&] {
                plugin_->ClientHandler(c.rec, CLIENT_CLOSED);
                c.outAtClose = c.taken.size() + c.rec->OutBuffer->size();
            },
            nullptr, &c);
        if (live)
            FUZZ_CHECK(watchers_[c.watcher].killed, "client closed, its watcher %d not stopped", c.watcher);
    }

    void checkOutput(Client &c)
    {
        const std::size_t size = c.taken.size() + c.rec->OutBuffer->size();
        const bool closingNow = c.closesSeen > 0;
        if (c.closed)
            FUZZ_CHECK(size == c.outAtClose, "written to a client after its close");
        if (c.desynced || (size == c.checkedSize && closingNow == c.checkedClosing))
            return;
        verifyOutput(c, closingNow);
        c.checkedSize = size;
        c.checkedClosing = closingNow;
    }

    // The client's output: 0, the start reply 0, whole records, and at most
    // one closing code at the very end.
    void verifyOutput(const Client &c, bool closingNow)
    {
        const std::string s = c.taken + out(c.rec);
        if (s.empty())
            return;
        auto fail = [&](const char *why, std::size_t at) {
            std::string hex;
            for (std::size_t i = 0; i < s.size() && i < 48; i++) {
                char b[4];
                std::snprintf(b, sizeof b, "%02x ", static_cast<unsigned char>(s[i]));
                hex += b;
            }
            std::string wrote;
            if (c.watcher > 0) {
                const std::string &w = watchers_.at(c.watcher).written;
                for (std::size_t i = 0; i < w.size() && i < 48; i++) {
                    char b[4];
                    std::snprintf(b, sizeof b, "%02x ", static_cast<unsigned char>(w[i]));
                    wrote += b;
                }
            }
            fuzz::failed(__FILE__, __LINE__, "client output (%zu bytes: %s) %s at %zu; the watcher wrote %s; %s",
                         s.size(), hex.c_str(), why, at, wrote.c_str(), closingNow ? "closing" : "open");
        };
        if (s.size() < 4)
            fail("holds part of a word", 0);
        uint32_t first = fuzz::be32At(s, 0);
        if (first != 0) {
            if (s.size() == 4 && first == 18 && closingNow)
                return;
            fail("does not start with reply code 0", 0);
        }
        std::size_t pos = 4;
        if (pos == s.size())
            return;
        if (s.size() - pos < 4)
            fail("holds part of a word", pos);
        uint32_t w = fuzz::be32At(s, pos);
        if (s.size() - pos == 4 && closing(w) && closingNow)
            return;
        static const std::vector<std::string> none;
        const std::vector<std::string> &expected = c.watcher > 0 ? watchers_.at(c.watcher).wholeRecords() : none;
        // The relayed records from `from` on: whole records in order, then at
        // most a closing code, or a cut record and code 18. Returns where the
        // output stops matching (s.size() when all of it does).
        auto relayed = [&](std::size_t from) {
            std::size_t at = from, i = 0;
            while (at < s.size()) {
                std::size_t rem = s.size() - at;
                if (rem == 4 && closing(fuzz::be32At(s, at)) && closingNow)
                    return s.size();
                // A record cut by a write block that could not be had: code 18
                // follows, unless that write failed too.
                if (i < expected.size() && closingNow && rem >= 8 && rem - 4 < expected[i].size() &&
                    s.compare(at, rem - 4, expected[i], 0, rem - 4) == 0 && fuzz::be32At(s, s.size() - 4) == 18)
                    return s.size();
                if (i < expected.size() && closingNow && rem >= 4 && rem < expected[i].size() &&
                    s.compare(at, rem, expected[i], 0, rem) == 0)
                    return s.size();
                if (i < expected.size() && s.compare(at, expected[i].size(), expected[i]) == 0) {
                    at += expected[i].size();
                    i++;
                    continue;
                }
                return at;
            }
            return at;
        };
        std::size_t stop = w == 0 ? relayed(pos + 4) : pos;
        // A start reply that could not be written closes the client, and the
        // records read in the same event are relayed all the same.
        if (stop != s.size() && closingNow)
            stop = std::max(stop, relayed(pos));
        if (stop != s.size())
            fail(w == 0 || closingNow ? "differs from the watcher's records" : "lacks the start reply", stop);
    }

    Client *pickClient()
    {
        std::vector<Client *> open;
        for (Client &c : clients_)
            if (!c.closed)
                open.push_back(&c);
        if (open.empty())
            return nullptr;
        return open[in_.ConsumeIntegralInRange<std::size_t>(0, open.size() - 1)];
    }

    Watcher *pickWatcher()
    {
        std::vector<Watcher *> live;
        for (auto &[pid, w] : watchers_)
            if (!w.exited)
                live.push_back(&w);
        if (live.empty())
            return nullptr;
        return live[in_.ConsumeIntegralInRange<std::size_t>(0, live.size() - 1)];
    }

    void connect()
    {
        int open = 0;
        for (Client &c : clients_)
            open += !c.closed;
        if (open >= kMaxOpen || clients_.size() >= static_cast<std::size_t>(kMaxClientsTotal))
            return;
        clients_.push_back(Client{});
        Client &c = clients_.back();
        c.rec = newClient();
        call([&] { plugin_->ClientHandler(c.rec, CLIENT_CONNECTED); }, &c);
    }

    void send()
    {
        Client *c = pickClient();
        if (!c)
            return;
        std::string bytes;
        switch (in_.ConsumeIntegralInRange(0, 3)) {
        case 0: // a plausible path, ended
            bytes = "/tmp/" + in_.ConsumeBytesAsString(in_.ConsumeIntegralInRange(0, 12)) + '\0';
            break;
        case 1: // a long piece without NUL
            bytes = std::string(in_.ConsumeIntegralInRange<std::size_t>(1, 5000), 'a');
            break;
        default:
            bytes = in_.ConsumeBytesAsString(in_.ConsumeIntegralInRange(1, 24));
            break;
        }
        if (bytes.empty())
            return;
        feed(c->rec, bytes);
        bool awaiting = c->awaitingPath;
        std::string path;
        bool complete = false, tooLong = false;
        if (awaiting) {
            c->path += bytes;
            std::size_t nul = c->path.find('\0');
            if (nul != std::string::npos && nul <= kMaxPath) {
                complete = true;
                path = c->path.substr(0, nul);
            } else if (c->path.size() > kMaxPath) {
                tooLong = true;
            }
        }
        std::size_t before = spawned_;
        spawnFor_ = c;
        call([&] { plugin_->ClientHandler(c->rec, CLIENT_DATA); });
        spawnFor_ = nullptr;
        FUZZ_CHECK(c->rec->InBuffer->size() == 0, "input left in InBuffer: %zu bytes", c->rec->InBuffer->size());
        bool started = spawned_ > before;
        FUZZ_CHECK(spawned_ <= before + 1, "two watchers started in one event");
        if (!awaiting) {
            FUZZ_CHECK(!started, "a second watcher for a client");
            return;
        }
        if (started) {
            FUZZ_CHECK(complete, "a watcher started before the path's NUL");
            FUZZ_CHECK(spawnArg_ == path, "watcher argument differs from the path");
            c->path.clear();
            c->awaitingPath = spawnResult_ == -1; // a failed start lets the client send a path again
        } else if (complete || tooLong) {
            FUZZ_CHECK(c->closesSeen > 0, "a %s path neither started a watcher nor closed the client",
                       complete ? "complete" : "too long");
            c->awaitingPath = false;
        }
    }

    void hangUp()
    {
        Client *c = pickClient();
        if (c) {
            c->closesSeen = closeCount(c->rec);
            deliverClose(*c);
        }
    }

    void watcherWrites()
    {
        Watcher *w = pickWatcher();
        if (!w)
            return;
        switch (in_.ConsumeIntegralInRange(0, 3)) {
        case 0:
        case 1: {
            std::string content = in_.ConsumeBytesAsString(in_.ConsumeIntegralInRange(0, 40));
            w->toWrite += le32(static_cast<int32_t>(content.size())) + content;
            break;
        }
        case 2: { // a record about as large as the pipe, or a few times larger
            std::size_t n = in_.ConsumeIntegralInRange<std::size_t>(kWatcherPipe - 100, 3 * kWatcherPipe);
            w->toWrite += le32(static_cast<int32_t>(n)) + std::string(n, 'r');
            break;
        }
        default:
            w->toWrite += in_.ConsumeBytesAsString(in_.ConsumeIntegralInRange(1, 12));
            break;
        }
    }

    void watcherFlush()
    {
        Watcher *w = pickWatcher();
        if (!w || w->toWrite.empty() || w->child->childOut < 0)
            return;
        std::size_t n = in_.ConsumeIntegralInRange<std::size_t>(1, w->toWrite.size());
        std::size_t done = w->child->writeSome(w->toWrite.data(), n);
        w->written.append(w->toWrite, 0, done);
        w->toWrite.erase(0, done);
    }

    // The client reads what it has been sent; once its output is taken the
    // host reports the drain if the plug-in asked for it.
    void clientReads()
    {
        Client *c = pickClient();
        if (!c)
            return;
        CBuffer *o = c->rec->OutBuffer;
        c->taken.append(reinterpret_cast<const char *>(o->data()), o->size());
        o->clear();
        call([&] { deliverOutputLow(*plugin_, c->rec); });
    }

    void readable(Watcher *w)
    {
        if (!w || w->child->stdoutSuspended)
            return;
        const Client &c = clients_[w->client];
        std::size_t before = w->child->pendingOut();
        bool orphan = c.closed;
        std::size_t kills0 = kills().size();
        call([&] { plugin_->ExecutableHandler(&w->child->record, EXECUTABLE_READABLE); });
        if (orphan) {
            FUZZ_CHECK(w->child->pendingOut() == before, "read from a watcher without a client");
            FUZZ_CHECK(kills().size() == kills0 + 1, "a watcher without a client was not stopped");
        }
    }

    void exit(Watcher *w)
    {
        if (!w)
            return;
        static const int statuses[] = {0, 1, 2, 143, 255};
        w->toWrite.clear();
        if (in_.ConsumeBool())
            w->child->closeOut();
        for (int i = 0; i < 8 && !w->child->stdoutSuspended; i++) { // a suspended pipe is not offered
            std::size_t before = w->child->pendingOut();
            if (before == 0)
                break;
            readable(w);
            if (w->child->pendingOut() == before)
                break;
        }
        w->child->record.Status = statuses[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(statuses) - 1)];
        Client &c = clients_[w->client];
        bool following = !c.closed && !c.desynced && c.watcher == w->pid;
        call([&] {
            plugin_->ExecutableHandler(&w->child->record, EXECUTABLE_EXITED);
            w->exited = true; // the record is gone once the handler returned
        });
        if (following)
            FUZZ_CHECK(c.closesSeen > 0, "the watcher exited and its client stays open");
    }

    void injectFailure()
    {
        int after = in_.ConsumeIntegralInRange(0, 6);
        static const int errors[] = {EIO, EINTR, EAGAIN, EBADF};
        int err = errors[in_.ConsumeIntegralInRange(0, 3)];
        int kind = in_.ConsumeIntegralInRange(0, 6);
        if (std::getenv("FUZZ_TRACE"))
            std::fprintf(stderr, "  failure %d after %d (errno %d)\n", kind, after, err);
        switch (kind) {
        case 0:
            fail(Op::BufferWrite, after);
            break;
        case 1:
            fail(Op::GetWriteBlock, after);
            break;
        case 2:
            fail(Op::Malloc, after);
            break;
        case 3:
            fail(Op::BufferCreate, after);
            break;
        case 4:
            if (Watcher *w = pickWatcher())
                failRead(w->child->record.StdOut, err, 1, after);
            break;
        case 5:
            queueSpawnResult(in_.ConsumeBool() ? -1 : SPAWN_NO_RESOURCES);
            break;
        default:
            setPluginBufferCap(in_.ConsumeIntegralInRange<std::size_t>(1, 8192));
            break;
        }
    }

    FuzzedDataProvider &in_;
    fakehost::Plugin *plugin_ = nullptr;
    void *handle_ = reinterpret_cast<void *>(0xD71);
    std::vector<Client> clients_;
    std::map<int, Watcher> watchers_;
    std::size_t spawnsSeen_ = 0, killsSeen_ = 0, spawned_ = 0;
    Client *spawnFor_ = nullptr;
    std::string spawnArg_;
    int spawnResult_ = 0;
    bool disposing_ = false;
};

void DvlRun::run(fakehost::Plugin &plugin)
{
    plugin_ = &plugin;
    clients_.reserve(kMaxClientsTotal);
    setLogLevel(in_.ConsumeIntegralInRange(0, 5));
    if (in_.ConsumeBool())
        setPluginOption("output-watermark", std::to_string(in_.ConsumeIntegralInRange(1, 300)));
    plugin_->Initialize(handle_);
    FUZZ_CHECK(liveAllocations() == 0 && spawns().empty(), "Initialize allocated or started something");

    const bool trace = std::getenv("FUZZ_TRACE") != nullptr;
    for (int step = 0; step < kMaxSteps && in_.remaining_bytes() > 0; step++) {
        int op = in_.ConsumeIntegralInRange(0, 13);
        if (trace)
            std::fprintf(stderr, "step %d: op %d (%zu bytes left)\n", step, op, in_.remaining_bytes());
        if (trace) {
            for (std::size_t i = 0; i < clients_.size(); i++) {
                std::string o = out(clients_[i].rec);
                std::fprintf(stderr, "  client %zu: closed %d, watcher %d, out", i, clients_[i].closed,
                             clients_[i].watcher);
                for (std::size_t j = 0; j < o.size() && j < 24; j++)
                    std::fprintf(stderr, " %02x", static_cast<unsigned char>(o[j]));
                std::fprintf(stderr, "\n");
            }
        }
        switch (op) {
        case 0:
            connect();
            break;
        case 1:
        case 2:
            send();
            break;
        case 3:
            hangUp();
            break;
        case 4:
        case 5:
            watcherWrites();
            break;
        case 6:
        case 7:
            watcherFlush();
            break;
        case 8:
        case 9:
            readable(pickWatcher());
            break;
        case 10:
            exit(pickWatcher());
            break;
        case 11:
            injectFailure();
            break;
        case 12:
            clientReads();
            break;
        default:
            if (Watcher *w = pickWatcher())
                call([&] { plugin_->ExecutableHandler(&w->child->record, EXECUTABLE_WRITE_READY); });
            plugin_->TimeoutHandler(nullptr);
            plugin_->IOHandler(nullptr);
            break;
        }
    }

    disposing_ = true;
    std::set<int> live;
    for (Client &c : clients_)
        if (!c.closed && c.watcher > 0 && !watchers_[c.watcher].exited && !watchers_[c.watcher].killed)
            live.insert(c.watcher);
    plugin_->Dispose();
    after();
    FUZZ_CHECK(liveAllocations() == 0, "%zu allocations left after Dispose", liveAllocations());
    for (int pid : live)
        FUZZ_CHECK(watchers_[pid].killed, "watcher %d still runs after Dispose", pid);
}

// Dispose empties DvlClients and Initialize sets DvlHandle: no reset needed.
fuzz::LoadedPlugin loader;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    fakehost::Plugin &plugin = loader.begin();
    {
        DvlRun run(in);
        run.run(plugin);
    }
    fakehost::reset();
    return 0;
}
