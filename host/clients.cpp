// Client side of the event loop: accept, read into InBuffer, flush OutBuffer,
// and the close sequence (CLIENT_CLOSED, then the remaining output, then the
// socket is closed).
#include "host.h"

#include "logger.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace plughost {

namespace {
constexpr int kAcceptsPerTurn = 64;
// Bytes read from one client per readiness event, so that a client sending
// flat out cannot keep the loop from the others; what is left in the socket
// makes it ready again in the next turn.
constexpr std::size_t kReadBudget = 1024 * 1024;
} // namespace

Client *Host::findClient(std::uint64_t id)
{
    auto it = clients_.find(id);
    return it == clients_.end() || it->second->state == Client::State::Done ? nullptr : it->second.get();
}

Client *Host::liveClient(ClientRecord *record, const char *call)
{
    auto it = liveClients_.find(record);
    if (it == liveClients_.end()) {
        log(LOG_WARN, "{} called for a client that is not open", call);
        return nullptr;
    }
    return it->second;
}

void Host::closeClient(ClientRecord *record)
{
    if (Client *c = liveClient(record, "CloseClient"))
        requestClose(*c);
}

void Host::suspendInput(ClientRecord *record, bool suspend)
{
    Client *c = liveClient(record, suspend ? "SuspendClientInput" : "ResumeClientInput");
    if (!c || c->inputSuspended == suspend)
        return;
    // The poller is told when the client is flushed after this plug-in call,
    // so a resume undone in the same call costs no system call.
    markDirty(*c);
    c->inputSuspended = suspend;
}

// Listed first, flagged after: a failed allocation leaves the client as it was.
void Host::markDirty(Client &c)
{
    if (!c.dirty) {
        dirty_.push_back(c.id);
        c.dirty = true;
    }
}

int Host::watchOutput(ClientRecord *record, std::size_t level)
{
    Client *c = liveClient(record, "WatchClientOutput");
    if (!c || c->state != Client::State::Open || c->closeRequested)
        return -1;
    // Checked when the client is flushed after this plug-in call.
    markDirty(*c);
    c->watchOutput = true;
    c->outputLevel = level;
    return 0;
}

void Host::acceptClients(std::size_t listenerIndex)
{
    if (listenerIndex >= listeners_.size())
        return;
    for (int i = 0; i < kAcceptsPerTurn && !stopping_; ++i)
        if (!acceptOne(listeners_[listenerIndex]))
            return;
}

bool Host::acceptOne(Listener &listener)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    Fd fd(::accept4(listener.fd.get(), reinterpret_cast<sockaddr *>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) {
        switch (errno) {
        case EAGAIN: return false;
        case EINTR:
        case ECONNABORTED: return true;
        case EMFILE:
        case ENFILE:
            // Out of descriptors: take the client with the spare one and let
            // it go at once, or the listener would stay readable for ever.
            spareFd_.reset();
            ::close(::accept4(listener.fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
            spareFd_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
            log(LOG_ERROR, "out of file descriptors: refused a client of {}", listener.pluginName);
            return false;
        default:
            log(LOG_ERROR, "accept on {} failed: {}", listener.shown, std::strerror(errno));
            return false;
        }
    }
    if (listener.tcp) {
        const int on = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    auto c = std::make_unique<Client>();
    c->id = nextId_++;
    c->plugin = listener.plugin;
    c->peer = describePeer(&addr);
    c->in = std::make_unique<CBuffer>(limits_.maxInput);
    c->out = std::make_unique<CBuffer>(limits_.maxOutput);
    c->record.Host = c.get();
    c->record.InBuffer = c->in.get();
    c->record.OutBuffer = c->out.get();
    if (!poller_.add(fd.get(), EPOLLIN, token(Kind::Client, c->id))) {
        log(LOG_ERROR, "cannot watch a client of {}: {}", listener.pluginName, std::strerror(errno));
        return true;
    }
    c->watched = EPOLLIN;
    c->fd = std::move(fd);
    Client &client = *c;
    liveClients_.emplace(&client.record, &client);
    outBuffers_.emplace(client.out.get(), &client);
    clients_.emplace(client.id, std::move(c));
    log(LOG_DEBUG, "client {} ({}) connected from {}", client.id, client.plugin->name, client.peer);
    callClient(client, CLIENT_CONNECTED);
    return true;
}

void Host::onClientEvent(std::uint64_t id, std::uint32_t events)
{
    Client *c = findClient(id);
    if (!c)
        return;
    if ((events & EPOLLOUT) || c->state == Client::State::Closing)
        flush(*c);
    c = findClient(id);
    if (!c || c->state != Client::State::Open || c->closeRequested)
        return;
    if (!c->inputSuspended) {
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR))
            readClient(*c);
    } else if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        // Nothing is read while suspended, but a peer that has gone is noticed.
        log(LOG_DEBUG, "client {} ({}): peer closed while its input was suspended", c->id, c->plugin->name);
        requestClose(*c);
    }
}

// Reads straight into write blocks of InBuffer, at most kReadBudget bytes,
// then tells the plug-in once.
void Host::readClient(Client &c)
{
    std::size_t total = 0;
    bool full = false, eof = false;
    int error = 0;
    while (total < kReadBudget) {
        std::size_t granted = 0;
        unsigned char *block = c.in->writeBlock(0, &granted);
        if (!block) {
            full = true;
            break;
        }
        granted = std::min(granted, kReadBudget - total);
        const ssize_t n = ::read(c.fd.get(), block, granted);
        if (n > 0) {
            c.in->commit(static_cast<std::size_t>(n));
            total += static_cast<std::size_t>(n);
            if (static_cast<std::size_t>(n) < granted)
                break; // drained, most likely; the poller says if not
            continue;
        }
        if (n == 0) {
            eof = true;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            error = errno;
        break;
    }
    if (total > 0)
        callClient(c, CLIENT_DATA);
    if (c.state != Client::State::Open || c.closeRequested)
        return;
    if (full && c.in->size() >= c.in->cap()) {
        log(LOG_WARN, "client {} ({}): {} bytes of unconsumed input (--max-input); closing", c.id, c.plugin->name,
            c.in->size());
        requestClose(c);
    } else if (error) {
        log(LOG_INFO, "client {} ({}): read failed: {}", c.id, c.plugin->name, std::strerror(error));
        requestClose(c, true);
    } else if (eof) {
        log(LOG_DEBUG, "client {} ({}): peer closed", c.id, c.plugin->name);
        requestClose(c);
    }
}

void Host::flush(Client &c)
{
    if (c.state == Client::State::Done)
        return;
    CBuffer &out = *c.out;
    while (out.size() > 0 && !c.dropOutput) {
        const ssize_t n = ::send(c.fd.get(), out.data(), out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            out.remove(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        log(LOG_DEBUG, "client {} ({}): send failed: {}", c.id, c.plugin->name, std::strerror(errno));
        requestClose(c, true);
    }
    if (c.dropOutput)
        out.clear();
    if (c.state == Client::State::Closing && out.size() == 0) {
        finishClient(c);
        return;
    }
    if (c.watchOutput && out.size() <= c.outputLevel && c.state == Client::State::Open && !c.closeRequested) {
        c.watchOutput = false;
        outputLow_.push_back(c.id);
    }
    updateInterest(c);
}

void Host::updateInterest(Client &c)
{
    std::uint32_t want = 0;
    if (c.state == Client::State::Open && !c.closeRequested)
        want |= c.inputSuspended ? EPOLLRDHUP : EPOLLIN;
    if (c.out->size() > 0 && !c.dropOutput)
        want |= EPOLLOUT;
    if (want != c.watched && poller_.modify(c.fd.get(), want, token(Kind::Client, c.id)))
        c.watched = want;
}

void Host::requestClose(Client &c, bool dropOutput)
{
    if (dropOutput)
        c.dropOutput = true;
    if (c.state != Client::State::Open || c.closeRequested)
        return;
    pendingCloses_.push_back(c.id);
    c.closeRequested = true;
}

void Host::deliverClosed(Client &c)
{
    c.closeRequested = false;
    c.state = Client::State::Closing;
    log(LOG_DEBUG, "client {} ({}): closed", c.id, c.plugin->name);
    c.plugin->clientHandler(&c.record, CLIENT_CLOSED);
    liveClients_.erase(&c.record);
    outBuffers_.erase(c.out.get());
    c.in->clear();
    c.deadline = Clock::now() + limits_.closeTimeout;
    flush(c);
    if (c.state == Client::State::Closing)
        draining_.push_back(c.id);
}

void Host::finishClient(Client &c)
{
    poller_.remove(c.fd.get());
    c.fd.reset();
    c.state = Client::State::Done;
    doneClients_.push_back(c.id);
}

void Host::expireDrains()
{
    if (draining_.empty())
        return;
    const auto now = Clock::now();
    std::erase_if(draining_, [&](std::uint64_t id) {
        Client *c = findClient(id);
        if (!c || c->state != Client::State::Closing)
            return true;
        if (now < c->deadline)
            return false;
        log(LOG_WARN, "client {} ({}): {} bytes of output not taken within {} ms; dropped", c->id, c->plugin->name,
            c->out->size(), limits_.closeTimeout.count());
        finishClient(*c);
        return true;
    });
}

} // namespace plughost
