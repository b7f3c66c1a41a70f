// Fuzzes the image plug-in through the fake host: clients that connect, do the
// key handshake and send requests and arbitrary bytes cut into arbitrary data
// events; a viewer that reads its frames, answers them, writes garbage and
// exits (and is restarted); unclutter output and exits; injected failures.
//
// Checked after every event, besides ASan/UBSan:
// - OvQ and the clients' Jobs lists agree (OvFuzzCheck, built into the
//   plug-in with OV_HANDLER_FUZZ_HOOKS), and the plug-in holds exactly one
//   allocation per client node and two per job (nothing leaks between events);
// - every viewer result (a unique word per frame) reaches clients at most
//   once, and a client never gets more answers from viewer events than it has
//   sent job requests;
// - the viewer never receives more frames than clients sent job requests;
// - a client's input is consumed in whole requests (or all at once when it is
//   refused), also when a finished job lets a suspended client go on; like
//   the host, the harness gives a suspended client no data (queue limits are
//   drawn small now and then so that this happens often);
// - nothing is written to a client, and it is not closed again, after its
//   close event; every kill is a SIGTERM to a live child with a pid above 0;
// - at most one viewer runs; after Dispose no allocation is left and every
//   child whose exit was not reported was sent SIGTERM.
#include <cerrno>
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

// A viewer result is 0x7E57 in its top half and a number whose two bytes
// avoid 0x57 and 0x7E. Garbage on the viewer's output never holds 0x7E, so a
// word with this top half that reaches a client is one whole result.
constexpr uint32_t kResultTag = 0x7E570000;
constexpr unsigned kDigit = 0x50;
constexpr unsigned kMaxResults = kDigit * kDigit;
constexpr int kMaxClients = 4;
constexpr int kMaxClientsTotal = 12;
constexpr std::size_t kMaxChildren = 40;
constexpr int kMaxSteps = 400;
constexpr int kViewerPipe = 4096;

uint32_t resultValue(unsigned n) { return kResultTag | (n / kDigit) << 8 | (n % kDigit); }

std::string le32(uint32_t v)
{
    std::string s(4, '\0');
    std::memcpy(s.data(), &v, 4);
    return s;
}

int32_t hostWordAt(const std::string &s, std::size_t at)
{
    int32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

struct Client {
    ClientRecord *rec = nullptr;
    int closesSeen = 0;
    bool closed = false;        // CLIENT_CLOSED delivered
    std::size_t outAtClose = 0; // OutBuffer size then
    bool keyed = false;         // the key word was delivered
    std::string pending;        // bytes made, not yet delivered
    std::string stream;         // bytes delivered after the key word
    std::size_t consumed = 0;   // of stream
    std::size_t parsed = 0;     // of stream: whole requests counted below
    int parsedJobs = 0, parsedStamps = 0;
    int jobRequests = 0;         // complete job requests consumed
    int stamps = 0;              // complete time-stamp requests consumed
    int stampsInChildEvents = 0; // of those, consumed in a viewer's event (a resumed client)
    int answers = 0;             // words received in viewer events
};

struct Proc {
    int pid = 0;
    bool viewer = false;
    Child *child = nullptr; // null when the harness ran out of children
    bool killed = false;
    bool exited = false;
    // viewer side
    std::string stdinBytes; // read from stdin, not yet a whole frame
    int unanswered = 0;     // whole frames without a result
    std::string toWrite;    // output not yet in the pipe
};

class OvRun {
public:
    explicit OvRun(FuzzedDataProvider &in) : in_(in) {}
    void run(fakehost::Plugin &plugin);

private:
    // ---------------------------------------------------------- plumbing
    void callClient(Client &c, int kind)
    {
        plugin_->ClientHandler(c.rec, kind);
        after();
    }

    void callChild(Proc &p, int kind)
    {
        std::size_t before[kMaxClientsTotal];
        int stampsBefore[kMaxClientsTotal];
        for (std::size_t i = 0; i < clients_.size(); i++) {
            before[i] = clients_[i].rec->OutBuffer->size();
            stampsBefore[i] = clients_[i].stamps;
        }
        plugin_->ExecutableHandler(&p.child->record, kind);
        if (kind == EXECUTABLE_EXITED)
            p.exited = true; // the record is gone once the handler returned
        recount();           // a finished job may have resumed a client, whose requests then ran
        // Only answers go to clients in a viewer's or unclutter's event, and
        // the 7 words of the answer to a time stamp of a resumed client (whose
        // echoed bytes never hold 0x7E).
        for (std::size_t i = 0; i < clients_.size(); i++) {
            Client &c = clients_[i];
            c.stampsInChildEvents += c.stamps - stampsBefore[i];
            const CBuffer *now = c.rec->OutBuffer;
            FUZZ_CHECK(now->size() >= before[i], "client output shrank");
            std::size_t added = now->size() - before[i];
            FUZZ_CHECK(added % 4 == 0, "%zu bytes (not whole words) to a client in a child event", added);
            for (std::size_t at = before[i]; at < now->size(); at += 4) {
                uint32_t w = fuzz::be32At(now->data() + at);
                c.answers++;
                if ((w & 0xFFFF0000u) == kResultTag) {
                    FUZZ_CHECK(issued_.count(w), "result %08x reached a client but was never written", w);
                    FUZZ_CHECK(!delivered_.count(w), "result %08x reached clients twice", w);
                    delivered_.insert(w);
                }
            }
            FUZZ_CHECK(c.answers <= c.jobRequests + 7 * c.stampsInChildEvents,
                       "client %zu got %d answers for %d job requests", i, c.answers, c.jobRequests);
        }
        after();
    }

    Client *findClient(const ClientRecord *r)
    {
        for (Client &c : clients_)
            if (c.rec == r)
                return &c;
        return nullptr;
    }

    // What the host does after every plug-in call: learn new children and
    // kills, deliver requested closes; then check the invariants.
    void after()
    {
        for (; spawnsSeen_ < spawns().size(); spawnsSeen_++)
            newSpawn(spawns()[spawnsSeen_]);
        for (; killsSeen_ < kills().size(); killsSeen_++) {
            auto [pid, sig] = kills()[killsSeen_];
            FUZZ_CHECK(pid > 0, "kill(%d)", pid);
            FUZZ_CHECK(sig == SIGTERM, "signal %d", sig);
            auto it = procs_.find(pid);
            FUZZ_CHECK(it != procs_.end(), "kill of pid %d that was never spawned", pid);
            FUZZ_CHECK(!it->second.exited, "kill of pid %d after its exit was handled", pid);
            it->second.killed = true;
        }
        if (disposing_)
            return;
        recount();
        for (bool more = true; more;) {
            more = false;
            for (std::size_t i = 0; i < clients_.size(); i++) {
                Client &c = clients_[i];
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
        check();
    }

    void deliverClose(Client &c)
    {
        c.closed = true;
        plugin_->ClientHandler(c.rec, CLIENT_CLOSED);
        c.outAtClose = c.rec->OutBuffer->size();
        after();
    }

    void newSpawn(const SpawnCall &s)
    {
        FUZZ_CHECK(s.handle == handle_, "spawn with another handle");
        FUZZ_CHECK(!s.argv.empty(), "spawn without argv");
        bool viewer = s.argv[0] == std::string(ModuleDirectory) + "/orvane.exe";
        FUZZ_CHECK(viewer || s.argv[0] == "unclutter", "spawn of %s", s.argv[0].c_str());
        if (viewer) {
            if (viewerArgv_.empty())
                viewerArgv_ = s.argv;
            FUZZ_CHECK(s.argv == viewerArgv_, "viewer restarted with other arguments");
        } else {
            FUZZ_CHECK(s.argv == std::vector<std::string>({"unclutter", "-root", "-onescreen"}), "unclutter arguments");
        }
        if (s.result <= 0)
            return;
        if (viewer) {
            for (auto &[pid, p] : procs_)
                FUZZ_CHECK(!p.viewer || p.exited || exiting_ == pid, "second viewer while %d runs", pid);
        }
        Proc &p = procs_[s.result];
        p.pid = s.result;
        p.viewer = viewer;
        if (children_ < kMaxChildren) {
            children_++;
            p.child = &newChild(s.result, viewer ? kViewerPipe : 0, Pipes::Memory);
            p.child->writeOut("S"); // the host's start byte
        }
        (viewer ? viewer_ : unclutter_) = s.result;
    }

    void check()
    {
        int nodes = -1, jobs = -1, others = -1;
        pauseFailures(true);
        int rc = check_(queueItemAt, &nodes, &jobs, &others);
        pauseFailures(false);
        FUZZ_CHECK(rc == 0, "OvFuzzCheck: %d", rc);
        FUZZ_CHECK(liveAllocations() == static_cast<std::size_t>(nodes + 2 * jobs + others),
                   "%zu live allocations for %d nodes, %d jobs and %d others", liveAllocations(), nodes, jobs, others);
        for (; timeoutsSeen_ < timeoutCalls().size(); timeoutsSeen_++) {
            const TimeoutCall &t = timeoutCalls()[timeoutsSeen_];
            FUZZ_CHECK(t.handle == handle_, "SetTimeout with another handle");
            FUZZ_CHECK(t.milliseconds == -1 || (t.milliseconds >= 10 && t.milliseconds <= 1000), "SetTimeout(%d)",
                       t.milliseconds);
        }
        FUZZ_CHECK(!timeoutPending() || !viewer(), "a restart waits while a viewer runs");
        int open = 0, requested = 0;
        for (Client &c : clients_) {
            open += !c.closed;
            requested += c.jobRequests;
            if (c.closed)
                FUZZ_CHECK(c.rec->OutBuffer->size() == c.outAtClose, "written to a client after its close");
        }
        FUZZ_CHECK(nodes <= open, "%d nodes for %d open clients", nodes, open);
        FUZZ_CHECK(frames_ <= requested, "%d frames for %d job requests", frames_, requested);
    }

    Proc *viewer()
    {
        auto it = procs_.find(viewer_);
        if (it == procs_.end() || it->second.exited || !it->second.child)
            return nullptr;
        return &it->second;
    }

    Proc *unclutter()
    {
        auto it = procs_.find(unclutter_);
        if (it == procs_.end() || it->second.exited || !it->second.child)
            return nullptr;
        return &it->second;
    }

    Client *pickClient(bool open)
    {
        Client *c[kMaxClientsTotal];
        std::size_t n = 0;
        for (Client &x : clients_)
            if (!open || !x.closed)
                c[n++] = &x;
        if (n == 0)
            return nullptr;
        return c[in_.ConsumeIntegralInRange<std::size_t>(0, n - 1)];
    }

    void recount()
    {
        for (Client &c : clients_)
            if (c.keyed && !c.closed)
                consumedBy(c);
    }

    // Counts the complete job requests in the consumed part of the stream and
    // checks that the plug-in consumed whole requests only.
    void consumedBy(Client &c)
    {
        std::size_t left = c.rec->InBuffer->size();
        FUZZ_CHECK(left <= c.stream.size(), "InBuffer grew");
        std::size_t consumed = c.stream.size() - left;
        FUZZ_CHECK(consumed >= c.consumed, "consumed count went back");
        c.consumed = consumed;
        const std::string &s = c.stream;
        // Whole requests already counted are not parsed again.
        std::size_t pos = c.parsed;
        int jobs = c.parsedJobs, stamps = c.parsedStamps;
        bool boundary = true;
        while (pos < consumed) {
            std::size_t len = 0;
            if (pos + 4 > s.size()) {
                boundary = false;
                break;
            }
            uint32_t cmd = fuzz::be32At(s, pos);
            if (cmd == 0) {
                if (pos + 20 > s.size()) {
                    boundary = false;
                    break;
                }
                int64_t w = static_cast<int32_t>(fuzz::be32At(s, pos + 4));
                int64_t h = static_cast<int32_t>(fuzz::be32At(s, pos + 8));
                if (w < 0 || h < 0 || w * h > (INT32_MAX - 20) / 3) {
                    boundary = false; // refused: the rest is dropped
                    break;
                }
                len = 20 + static_cast<std::size_t>(w * h * 3);
            } else if (cmd == 1) {
                len = 8;
            } else if (cmd == 2 || cmd == 3) {
                len = 12;
            } else {
                boundary = false;
                break;
            }
            if (pos + len > consumed) {
                boundary = false;
                break;
            }
            jobs += cmd != 2;
            stamps += cmd == 2;
            pos += len;
        }
        c.parsed = pos;
        c.parsedJobs = jobs;
        c.parsedStamps = stamps;
        // Input dropped whole (a refusal) answers the job request it stops at,
        // complete or not.
        if (!boundary && consumed == s.size() && consumed > 0 && pos + 4 <= s.size()) {
            const uint32_t cmd = fuzz::be32At(s, pos);
            jobs += cmd == 0 || cmd == 1 || cmd == 3;
        }
        c.jobRequests = jobs;
        c.stamps = stamps;
        // Also for a client being closed: the request loop goes on after a
        // close, so a request left half-consumed would be parsed from its
        // payload.
        FUZZ_CHECK(boundary || consumed == s.size(), "input consumed up to %zu, inside a request", consumed);
    }

    // ---------------------------------------------------------- operations
    void connect()
    {
        if (clients_.size() >= static_cast<std::size_t>(kMaxClientsTotal))
            return;
        int open = 0;
        for (Client &c : clients_)
            open += !c.closed;
        if (open >= kMaxClients)
            return;
        clients_.push_back(Client{});
        std::size_t index = clients_.size() - 1;
        clients_[index].rec = newClient();
        callClient(clients_[index], CLIENT_CONNECTED);
        Client &c = clients_[index];
        if (c.closed || out(c.rec) != be32(0))
            return;
        // The handshake: 0 from the first client, the key from the others;
        // now and then a wrong word.
        uint32_t word = key_;
        int mode = in_.ConsumeIntegralInRange(0, 7);
        if (mode == 0)
            word = in_.ConsumeIntegral<uint32_t>();
        else if (mode == 1)
            word = 0;
        feed(c.rec, be32(word));
        c.keyed = true;
        callClient(c, CLIENT_DATA);
        Client &k = clients_[index];
        std::string got = out(k.rec);
        if (word == 0 && key_ == 0 && got.size() == 12 && fuzz::be32At(got, 4) == 0) {
            key_ = fuzz::be32At(got, 8);
            FUZZ_CHECK(key_ >= 1 && key_ <= 2147483647u, "key %u", key_);
        }
    }

    void appendRequest()
    {
        Client *c = pickClient(true);
        if (!c || !c->keyed)
            return;
        std::string r;
        switch (in_.ConsumeIntegralInRange(0, 5)) {
        case 0:
        case 1: { // a small image
            uint32_t w = in_.ConsumeIntegralInRange(0, 3), h = in_.ConsumeIntegralInRange(0, 3);
            r = be32(0) + be32(w) + be32(h) + be32(in_.ConsumeIntegral<uint32_t>()) +
                be32(in_.ConsumeIntegral<uint32_t>());
            std::string px = in_.ConsumeBytesAsString(w * h * 3);
            px.resize(w * h * 3, 'p');
            r += px;
            break;
        }
        case 2: { // an image larger than the viewer's pipe
            uint32_t w = in_.ConsumeIntegralInRange(30, 64), h = in_.ConsumeIntegralInRange(30, 64);
            r = be32(0) + be32(w) + be32(h) + be32(7) + be32(8) + std::string(w * h * 3, 'q');
            break;
        }
        case 3:
            r = be32(1) + be32(in_.ConsumeIntegral<uint32_t>());
            break;
        case 4:
            r = be32(3) + be32(in_.ConsumeIntegral<uint32_t>()) + be32(in_.ConsumeIntegral<uint32_t>());
            break;
        default: { // time stamp
            std::string mine = in_.ConsumeBytesAsString(8);
            mine.resize(8, 't');
            for (char &ch : mine) // echoed back: never mistaken for a result
                if (static_cast<unsigned char>(ch) == 0x7E)
                    ch = 0x7D;
            r = be32(2) + mine;
            break;
        }
        }
        c->pending += r;
    }

    void appendRaw()
    {
        Client *c = pickClient(true);
        if (!c || !c->keyed)
            return;
        c->pending += in_.ConsumeBytesAsString(in_.ConsumeIntegralInRange(1, 24));
    }

    // Like the host, nothing is read from a client whose input is suspended.
    void deliver()
    {
        Client *c = pickClient(true);
        if (!c || !c->keyed || c->pending.empty() || flow(c->rec).suspended)
            return;
        std::size_t n = in_.ConsumeIntegralInRange<std::size_t>(1, c->pending.size());
        c->stream.append(c->pending, 0, n);
        FUZZ_CHECK(c->rec->InBuffer->write(c->pending.data(), n), "InBuffer refused %zu bytes", n);
        c->pending.erase(0, n);
        std::size_t index = static_cast<std::size_t>(c - clients_.data());
        callClient(*c, CLIENT_DATA);
        consumedBy(clients_[index]);
    }

    void hangUp()
    {
        Client *c = pickClient(true);
        if (c) {
            c->closesSeen = closeCount(c->rec);
            deliverClose(*c);
        }
    }

    void viewerReads()
    {
        Proc *v = viewer();
        if (!v)
            return;
        std::size_t want = in_.ConsumeBool() ? 1u << 20 : in_.ConsumeIntegralInRange<std::size_t>(1, 64);
        char buf[8192];
        while (want > 0) {
            std::size_t n = v->child->readSome(buf, std::min(want, sizeof buf));
            if (n == 0)
                break;
            want -= static_cast<std::size_t>(n);
            if (!v->killed)
                v->stdinBytes.append(buf, static_cast<std::size_t>(n));
        }
        // Whole frames; a killed viewer's stream may hold a cut frame, so it
        // is no longer parsed.
        while (!v->killed && v->stdinBytes.size() >= 16) {
            int64_t w = hostWordAt(v->stdinBytes, 8), h = hostWordAt(v->stdinBytes, 12);
            // Command 3 frames carry a second argument (any value) as width, height 0.
            FUZZ_CHECK(w * h >= 0 && w * h <= (INT32_MAX - 20) / 3, "frame of %lld x %lld", static_cast<long long>(w),
                       static_cast<long long>(h));
            std::size_t len = 16 + static_cast<std::size_t>(w * h * 3);
            if (v->stdinBytes.size() < len)
                break;
            v->stdinBytes.erase(0, len);
            v->unanswered++;
            frames_++;
        }
        check();
    }

    void viewerAnswers()
    {
        Proc *v = viewer();
        if (!v || v->killed || v->unanswered == 0 || results_ >= kMaxResults)
            return;
        uint32_t value = resultValue(results_++);
        issued_.insert(value);
        v->unanswered--;
        v->toWrite += le32(value);
    }

    void viewerGarbage()
    {
        Proc *v = viewer();
        if (!v)
            return;
        std::string g = in_.ConsumeBytesAsString(in_.ConsumeIntegralInRange(1, 12));
        for (char &ch : g)
            if (static_cast<unsigned char>(ch) == 0x7E)
                ch = 0x7D;
        v->toWrite += g;
    }

    void viewerFlush()
    {
        Proc *v = viewer();
        if (!v || v->toWrite.empty())
            return;
        std::size_t n = in_.ConsumeIntegralInRange<std::size_t>(1, v->toWrite.size());
        v->toWrite.erase(0, v->child->writeSome(v->toWrite.data(), n));
    }

    void readable(Proc *p)
    {
        if (p)
            callChild(*p, EXECUTABLE_READABLE);
    }

    void writeReady()
    {
        Proc *v = viewer();
        if (v && v->child->stdinOn > 0)
            callChild(*v, EXECUTABLE_WRITE_READY);
    }

    // The host offers the remaining output, then reports the exit.
    void exit(Proc *p)
    {
        if (!p)
            return;
        static const int statuses[] = {0, 1, 3, 127, 143, 137, 255};
        int status = statuses[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(statuses) - 1)];
        int pid = p->pid;
        p->toWrite.clear();
        for (int i = 0; i < 8; i++) {
            std::size_t before = procs_[pid].child->pendingOut();
            if (before == 0)
                break;
            callChild(procs_[pid], EXECUTABLE_READABLE);
            if (procs_[pid].child->pendingOut() == before)
                break;
        }
        Proc &q = procs_[pid];
        q.child->record.Status = status;
        exiting_ = pid;
        callChild(q, EXECUTABLE_EXITED);
        exiting_ = 0;
    }

    void unclutterOutput()
    {
        Proc *u = unclutter();
        if (!u)
            return;
        std::string g = in_.ConsumeBytesAsString(in_.ConsumeIntegralInRange(0, 40));
        if (!g.empty() && u->child->writeSome(g.data(), g.size()) == 0)
            return;
        if (in_.ConsumeBool())
            u->child->closeOut();
        readable(u);
    }

    void injectFailure()
    {
        int after = in_.ConsumeIntegralInRange(0, 6);
        Proc *v = viewer();
        static const int readErrors[] = {EIO, EINTR, EAGAIN, EBADF};
        static const int writeErrors[] = {EPIPE, EINTR, EAGAIN, EIO};
        int pick = in_.ConsumeIntegralInRange(0, 3);
        switch (in_.ConsumeIntegralInRange(0, 8)) {
        case 0:
            fail(Op::BufferWrite, after);
            break;
        case 1:
            fail(Op::GetWriteBlock, after);
            break;
        case 2:
            fail(Op::QueueEnqueue, after);
            break;
        case 3:
            fail(Op::Malloc, after);
            break;
        case 4:
            if (v)
                failRead(v->child->record.StdOut, readErrors[pick], 1, after);
            break;
        case 5:
            if (v)
                failWrite(v->child->record.StdIn, writeErrors[pick], 1, after);
            break;
        case 6:
            queueSpawnResult(pick & 1 ? SPAWN_NOT_EXECUTABLE : SPAWN_NO_RESOURCES);
            break;
        case 7:
            failRead(-1, readErrors[pick], 1, after);
            break;
        default:
            pushClockFailure(EINVAL);
            break;
        }
    }

    FuzzedDataProvider &in_;
    fakehost::Plugin *plugin_ = nullptr;
    using QueueItemAt = const void *(*)(const Queue *, int);
    int (*check_)(QueueItemAt, int *, int *, int *) = nullptr;
    void *handle_ = reinterpret_cast<void *>(0xF0221);
    std::vector<Client> clients_;
    std::map<int, Proc> procs_;
    int viewer_ = 0, unclutter_ = 0, exiting_ = 0;
    std::size_t children_ = 0;
    std::vector<std::string> viewerArgv_;
    std::size_t spawnsSeen_ = 0, killsSeen_ = 0, timeoutsSeen_ = 0;
    long long clockMs_ = 1000000; // the plug-in's monotonic clock
    uint32_t key_ = 0;
    unsigned results_ = 0;
    std::set<uint32_t> issued_, delivered_;
    int frames_ = 0;
    bool disposing_ = false;
};

void OvRun::run(fakehost::Plugin &plugin)
{
    plugin_ = &plugin;
    check_ = reinterpret_cast<int (*)(QueueItemAt, int *, int *, int *)>(plugin.symbol("OvFuzzCheck"));
    FUZZ_CHECK(check_, "the plug-in lacks OvFuzzCheck (build it with OV_HANDLER_FUZZ_HOOKS)");
    clients_.reserve(kMaxClientsTotal);

    setLogLevel(in_.ConsumeIntegralInRange(0, 5));
    static const std::size_t caps[] = {std::size_t(1) << 31, std::size_t(1) << 31, 0, 2, 3, 4, 4096};
    setPluginBufferCap(caps[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(caps) - 1)]);
    // Now and then a start-up that fails somewhere.
    int start = in_.ConsumeIntegralInRange(0, 15);
    int nth = in_.ConsumeIntegralInRange(0, 9);
    if (start == 0)
        queueSpawnResult(SPAWN_NOT_EXECUTABLE);
    else if (start == 1)
        queueSpawnResult(SPAWN_NO_RESOURCES);
    else if (start == 2)
        fail(Op::Malloc, nth);
    else if (start == 3)
        fail(in_.ConsumeBool() ? Op::BufferCreate : Op::QueueCreate);
    else if (start == 4)
        failOpen("/dev/urandom", EACCES);
    // Queue limits small enough that clients are suspended and resumed often.
    if (in_.ConsumeBool()) {
        setPluginOption("client-queue-bytes", std::to_string(in_.ConsumeIntegralInRange(1, 4000)));
        setPluginOption("total-queue-bytes", std::to_string(in_.ConsumeIntegralInRange(1, 8000)));
        setPluginOption("client-queue-jobs", std::to_string(in_.ConsumeIntegralInRange(1, 6)));
    }
    setMonotonicMs(clockMs_);
    plugin_->Initialize(handle_);
    fail(Op::Malloc, 0, 0);
    after();

    const bool trace = std::getenv("FUZZ_TRACE") != nullptr;
    for (int step = 0; step < kMaxSteps && in_.remaining_bytes() > 0; step++) {
        int op = in_.ConsumeIntegralInRange(0, 17);
        // Every step takes a while: a viewer that exits within 7 steps of
        // its start exits quickly, one that lives 22 steps is steady.
        clockMs_ += 137;
        setMonotonicMs(clockMs_);
        if (trace)
            std::fprintf(stderr, "step %d: op %d\n", step, op);
        switch (op) {
        case 0:
        case 1:
            connect();
            break;
        case 2:
        case 3:
            appendRequest();
            break;
        case 4:
            appendRaw();
            break;
        case 5:
        case 6:
            deliver();
            break;
        case 7:
            hangUp();
            break;
        case 8:
            viewerReads();
            break;
        case 9:
            viewerAnswers();
            break;
        case 10:
            viewerGarbage();
            break;
        case 11:
            viewerFlush();
            break;
        case 12:
            readable(viewer());
            break;
        case 13:
            writeReady();
            break;
        case 14:
            exit(viewer());
            break;
        case 15:
            if (in_.ConsumeBool())
                unclutterOutput();
            else
                exit(unclutter());
            break;
        case 16:
            injectFailure();
            break;
        default:
            // The host calls TimeoutHandler when the plug-in's timeout is due;
            // a call it did not ask for only logs.
            if (!fireTimeout(*plugin_))
                plugin_->TimeoutHandler(nullptr);
            after();
            plugin_->IOHandler(nullptr);
            plugin_->ClientHandler(clients_.empty() ? newClient() : clients_[0].rec, 7);
            after();
            break;
        }
    }

    disposing_ = true;
    plugin_->Dispose();
    after();
    FUZZ_CHECK(liveAllocations() == 0, "%zu allocations left after Dispose", liveAllocations());
    for (auto &[pid, p] : procs_)
        FUZZ_CHECK(p.exited || p.killed, "pid %d was never stopped", pid);
}

fuzz::LoadedPlugin loader("OvFuzzReset");

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    fakehost::Plugin &plugin = loader.begin();
    {
        OvRun run(in);
        run.run(plugin);
    }
    fakehost::reset();
    return 0;
}
