#include "host.h"

#include "logger.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace plughost {

namespace {
Host *theHost = nullptr;
}

Host *currentHost() { return theHost; }

Host::Host(Limits limits) : limits_(limits) { theHost = this; }

Host::~Host()
{
    if (theHost == this)
        theHost = nullptr;
}

std::string Host::open()
{
    if (!poller_.open())
        return std::string("epoll_create1: ") + std::strerror(errno);
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    if (::sigprocmask(SIG_BLOCK, &stop, nullptr) != 0)
        return std::string("sigprocmask: ") + std::strerror(errno);
    signalFd_.reset(::signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signalFd_ || !poller_.add(signalFd_.get(), EPOLLIN, token(Kind::Signal, 0)))
        return std::string("signalfd: ") + std::strerror(errno);
    spareFd_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    return {};
}

void Host::addListener(Listener listener)
{
    poller_.add(listener.fd.get(), EPOLLIN, token(Kind::Listener, listeners_.size()));
    listeners_.push_back(std::move(listener));
}

void Host::addPlugin(std::unique_ptr<Plugin> plugin) { plugins_.push_back(std::move(plugin)); }

Plugin *Host::findPlugin(const std::string &name) const
{
    for (const auto &p : plugins_)
        if (p->name == name)
            return p.get();
    return nullptr;
}

void Host::initializePlugins()
{
    for (auto &p : plugins_) {
        log(LOG_DEBUG, "calling Initialize of {}", p->name);
        p->initialize(p.get());
        p->initialized = true;
        afterPluginCall();
        for (const auto &[key, value] : p->options)
            if (!p->optionsAsked.count(key))
                log(LOG_WARN, "--plugin-option {}.{}={}: {} did not ask for the setting {}", p->name, key, value,
                    p->name, key);
    }
}

int Host::run()
{
    while (turn(-1)) {
    }
    shutdown();
    return failed_ ? 1 : 0;
}

bool Host::turn(int timeoutMs)
{
    if (stopping_ || failed_)
        return false;
    std::array<epoll_event, 256> events;
    const int next = nextTimeoutMs();
    const int n = poller_.wait(events, timeoutMs < 0 ? next : next < 0 ? timeoutMs : std::min(next, timeoutMs));
    if (n < 0) {
        log(LOG_FATAL, "epoll_wait failed: {}", std::strerror(errno));
        failed_ = true;
        return false;
    }
    for (int i = 0; i < n; ++i)
        dispatch(events[static_cast<std::size_t>(i)]);
    expireDrains();
    runTimers();
    endOfTurn();
    return !stopping_;
}

void Host::dispatch(const epoll_event &ev)
{
    const auto kind = static_cast<Kind>(ev.data.u64 >> 56);
    const std::uint64_t id = ev.data.u64 & ((std::uint64_t{1} << 56) - 1);
    switch (kind) {
    case Kind::Listener: acceptClients(id); break;
    case Kind::Client: onClientEvent(id, ev.events); break;
    case Kind::ChildOut: onChildOutput(id, ev.events); break;
    case Kind::ChildIn: {
        Child *ch = findChild(id);
        if (ch && !ch->delivered && ch->stdinWatched && !stdinGoneWithExit(*ch, ev.events))
            callChild(*ch, EXECUTABLE_WRITE_READY);
        break;
    }
    case Kind::ChildExit: onChildExit(id); break;
    case Kind::ChildErr: onChildStderr(id); break;
    case Kind::Signal: {
        signalfd_siginfo info{};
        while (::read(signalFd_.get(), &info, sizeof info) == sizeof info) {
            log(LOG_INFO, "signal {} received; stopping", info.ssi_signo);
            stopping_ = true;
        }
        break;
    }
    }
    afterPluginCall();
}

// The loop sleeps until the earliest of: a closed client's drain deadline,
// the end of a child's stdin grace, a plug-in's timeout. None: no timer.
int Host::nextTimeoutMs() const
{
    auto first = Clock::time_point::max();
    for (std::uint64_t id : draining_) {
        auto it = clients_.find(id);
        if (it == clients_.end() || it->second->state != Client::State::Closing)
            return 0; // a stale entry: let expireDrains() sweep it now
        first = std::min(first, it->second->deadline);
    }
    for (std::uint64_t id : graces_) {
        auto it = children_.find(id);
        if (it == children_.end() || !it->second->stdinGrace)
            return 0; // stale: swept by endStdinGraces()
        first = std::min(first, it->second->graceEnd);
    }
    for (const auto &p : plugins_)
        if (p->timeoutArmed)
            first = std::min(first, p->timeoutAt);
    if (first == Clock::time_point::max())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(first - Clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 24 * 3600 * 1000));
}

// Timers that are due, after the turn's events: stdin graces that ended, then
// plug-in timeouts. A timeout set again by its own handler (even to 0) waits
// for the next turn.
void Host::runTimers()
{
    const auto now = Clock::now();
    endStdinGraces(now);
    std::vector<Plugin *> due;
    for (const auto &p : plugins_) {
        if (p->timeoutArmed && p->timeoutAt <= now && p->initialized) {
            p->timeoutArmed = false;
            due.push_back(p.get());
        }
    }
    for (Plugin *p : due) {
        if (stopping_)
            return;
        log(LOG_DEBUG, "calling TimeoutHandler of {}", p->name);
        p->timeoutHandler(nullptr);
        afterPluginCall();
    }
}

Plugin *Host::pluginOf(void *handle) const
{
    for (const auto &p : plugins_)
        if (p.get() == handle)
            return p.get();
    return nullptr;
}

int Host::setTimeout(void *handle, int milliseconds)
{
    Plugin *p = pluginOf(handle);
    if (!p) {
        log(LOG_WARN, "SetTimeout: the handle is none that Initialize received");
        return -1;
    }
    p->timeoutArmed = milliseconds >= 0;
    if (p->timeoutArmed)
        p->timeoutAt = Clock::now() + std::chrono::milliseconds(milliseconds);
    return 0;
}

const char *Host::pluginOption(void *handle, const char *key)
{
    Plugin *p = pluginOf(handle);
    if (!p || !key)
        return nullptr;
    p->optionsAsked.insert(key);
    auto it = p->options.find(key);
    return it == p->options.end() ? nullptr : it->second.c_str();
}

void Host::endOfTurn()
{
    for (std::uint64_t id : doneClients_)
        clients_.erase(id);
    doneClients_.clear();
    for (std::uint64_t id : doneChildren_)
        children_.erase(id);
    doneChildren_.clear();
}

void Host::callClient(Client &c, int kind)
{
    c.plugin->clientHandler(&c.record, kind);
    afterPluginCall();
}

void Host::callChild(Child &ch, int kind)
{
    ch.plugin->executableHandler(&ch.record, kind);
    afterPluginCall();
}

// Output first, so that a reply written just before CloseClient leaves before
// the close; then the close events the call asked for, whose handlers may in
// turn write and close.
void Host::afterPluginCall()
{
    for (;;) {
        std::vector<std::uint64_t> dirty;
        dirty.swap(dirty_);
        for (std::uint64_t id : dirty) {
            if (Client *c = findClient(id)) {
                c->dirty = false;
                flush(*c);
            }
        }
        if (!dirty_.empty())
            continue;
        if (!outputLow_.empty()) {
            const std::uint64_t id = outputLow_.front();
            outputLow_.pop_front();
            Client *c = findClient(id);
            if (c && c->state == Client::State::Open && !c->closeRequested)
                c->plugin->clientHandler(&c->record, CLIENT_OUTPUT_LOW);
            continue;
        }
        if (pendingCloses_.empty())
            return;
        const std::uint64_t id = pendingCloses_.front();
        pendingCloses_.pop_front();
        Client *c = findClient(id);
        if (c && c->state == Client::State::Open && c->closeRequested)
            deliverClosed(*c);
    }
}

void Host::shutdown()
{
    for (auto &p : plugins_) {
        if (p->initialized) {
            log(LOG_DEBUG, "calling Dispose of {}", p->name);
            p->dispose();
            p->initialized = false;
        }
    }
    // Nothing of the plug-ins runs any more: drop clients and children as they are.
    children_.clear();
    liveChildren_.clear();
    clients_.clear();
    liveClients_.clear();
    outBuffers_.clear();
    listeners_.clear();
    log(LOG_INFO, "stopped");
}

CBuffer *Host::createBuffer(std::size_t capacity, bool growable)
{
    if (capacity > limits_.maxOutput) {
        log(LOG_WARN, "CBufferCreate: {} bytes asked for, more than the cap of {} (--max-output)", capacity,
            limits_.maxOutput);
        return nullptr;
    }
    auto *b = new (std::nothrow) CBuffer(growable ? limits_.maxOutput : capacity, capacity);
    if (b && b->allocated() < capacity) {
        delete b;
        return nullptr;
    }
    return b;
}

void Host::bufferWritten(CBuffer *b, bool ok)
{
    auto it = outBuffers_.find(b);
    if (it == outBuffers_.end())
        return;
    Client &c = *it->second;
    if (ok) {
        markDirty(c);
        return;
    }
    if (c.state == Client::State::Open && !c.closeRequested) {
        log(LOG_WARN, "client {} ({}): output refused at {} unsent bytes (--max-output {}); closing", c.id,
            c.plugin->name, b->size(), limits_.maxOutput);
        requestClose(c);
    }
}

} // namespace plughost
