// Child side of the event loop: SpawnExecutable, stdout offered to the
// plug-in, stderr read into the log, write-ready events on request, and the
// exit event once all output has been offered and stderr drained.
#include "host.h"

#include "logger.h"
#include "child_spawn.h"

#include <signal.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace plughost {

namespace {

// A child's stderr is read at most this much per readiness event, so a
// child that writes flat out cannot keep the loop from the others.
constexpr std::size_t kStderrBudget = 64 * 1024;
// At the exit all the child wrote is in the pipe (64 KiB at most); a
// grandchild still writing into it cannot hold the exit event back longer.
constexpr std::size_t kStderrAtExit = 1024 * 1024;

void logChildLine(std::string_view text) { log(LOG_WARN, "{}", text); }

int pendingBytes(int fd)
{
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

} // namespace

Child *Host::findChild(std::uint64_t id)
{
    auto it = children_.find(id);
    return it == children_.end() || it->second->delivered ? nullptr : it->second.get();
}

// Everything that allocates is done before the child is started, so a failed
// allocation leaves no child behind; after the start only the poller can
// fail, and then the child is killed and reaped.
int Host::spawn(void *handle, char **argv)
{
    Plugin *owner = pluginOf(handle);
    if (!owner) {
        log(LOG_ERROR, "SpawnExecutable: the handle is none that Initialize received");
        return SPAWN_NO_RESOURCES;
    }
    if (!argv || !argv[0])
        return SPAWN_NOT_EXECUTABLE;
    const std::uint64_t id = nextId_++;
    Child *ch = nullptr;
    try {
        auto made = std::make_unique<Child>();
        for (char **a = argv; *a; ++a)
            made->args.emplace_back(*a);
        for (auto &a : made->args)
            made->argv.push_back(a.data());
        made->argv.push_back(nullptr);
        made->errLines.emplace(made->args[0]);
        ch = made.get();
        children_.emplace(id, std::move(made));
        liveChildren_.emplace(&ch->record, ch);
    } catch (const std::bad_alloc &) {
        if (ch)
            children_.erase(id);
        return SPAWN_NO_RESOURCES;
    }
    // Until it has started the child is known to nobody: drop it again.
    const auto forget = [&] {
        liveChildren_.erase(&ch->record);
        children_.erase(id);
    };
    ch->id = id;
    ch->plugin = owner;
    SpawnedChild s = spawnChild(ch->argv.data());
    if (s.pid <= 0) {
        log(LOG_INFO, "{}: cannot start {}: {}", owner->name, ch->args[0],
            s.error == SPAWN_NOT_EXECUTABLE ? "not executable" : "no resources");
        forget();
        return s.error;
    }
    ch->pidfd = std::move(s.pidfd);
    ch->stdinFd = std::move(s.stdinWrite);
    ch->stdoutFd = std::move(s.stdoutRead);
    ch->stderrFd = std::move(s.stderrRead);
    ch->record.Argv = ch->argv.data();
    ch->record.Pid = s.pid;
    ch->record.StdIn = ch->stdinFd.get();
    ch->record.StdOut = ch->stdoutFd.get();
    ch->errLines->setPid(s.pid);
    if (!poller_.add(ch->stdoutFd.get(), EPOLLIN, token(Kind::ChildOut, id)) ||
        !poller_.add(ch->stderrFd.get(), EPOLLIN, token(Kind::ChildErr, id)) ||
        !poller_.add(ch->pidfd.get(), EPOLLIN, token(Kind::ChildExit, id))) {
        log(LOG_ERROR, "{}: cannot watch pid {}: {}", owner->name, s.pid, std::strerror(errno));
        poller_.remove(ch->stdoutFd.get());
        poller_.remove(ch->stderrFd.get());
        if (s.pid > 0) {
            ::kill(s.pid, SIGKILL);
            siginfo_t info{};
            ::waitid(P_PID, static_cast<id_t>(s.pid), &info, WEXITED);
        }
        forget();
        return SPAWN_NO_RESOURCES;
    }
    ch->stdoutWatched = true;
    log(LOG_DEBUG, "{}: started pid {}: {}", owner->name, s.pid, fmt::join(ch->args, " "));
    return s.pid;
}

Child *Host::liveChild(ExecutableRecord *record, const char *call)
{
    auto it = liveChildren_.find(record);
    if (it == liveChildren_.end()) {
        log(LOG_WARN, "{} called for a record that is not live", call);
        return nullptr;
    }
    return it->second;
}

void Host::watchStdIn(ExecutableRecord *record, bool on)
{
    Child *found = liveChild(record, on ? "AddExecutableStdIn" : "RemoveExecutableStdIn");
    if (!found)
        return;
    Child &ch = *found;
    if (on == ch.stdinWatched)
        return;
    if (on) {
        if (poller_.add(ch.stdinFd.get(), EPOLLOUT, token(Kind::ChildIn, ch.id)))
            ch.stdinWatched = true;
        else
            log(LOG_ERROR, "cannot watch the stdin of pid {}: {}", ch.record.Pid, std::strerror(errno));
    } else {
        if (!ch.stdinGrace) // during the grace the stdin is not in the poller
            poller_.remove(ch.stdinFd.get());
        ch.stdinWatched = false;
        ch.stdinGrace = false;
    }
}

// The child's stdout leaves the poller while suspended: a hang-up on it would
// otherwise be reported again and again. The exit is noticed through the
// pidfd all the same.
void Host::suspendStdOut(ExecutableRecord *record, bool suspend)
{
    Child *found = liveChild(record, suspend ? "SuspendExecutableStdOut" : "ResumeExecutableStdOut");
    if (!found || found->stdoutSuspended == suspend)
        return;
    Child &ch = *found;
    ch.stdoutSuspended = suspend;
    if (suspend) {
        stopWatchingStdout(ch);
        return;
    }
    if (ch.stdoutEnded || ch.stdoutWatched)
        return;
    if (poller_.add(ch.stdoutFd.get(), EPOLLIN, token(Kind::ChildOut, ch.id))) {
        ch.stdoutWatched = true;
        ch.stdoutStalled = false;
    } else {
        log(LOG_ERROR, "cannot watch the stdout of pid {}: {}", ch.record.Pid, std::strerror(errno));
    }
}

// A child that dies closes its stdin a moment before its exit is reported.
// When the reader is gone because the child is exiting, the exit event (with
// the child's real status) is what the plug-in should see, not a write-ready
// event that can only end in EPIPE. So a hang-up on stdin while the child
// has not exited yet starts a grace period: the stdin leaves the poller and
// the loop goes on; the exit usually arrives within it and ends the grace.
// A child that closed its stdin and lives on gets the write-ready events once
// the grace is over (its writes then fail with EPIPE). Returns true when the
// write-ready event is not to be delivered now.
bool Host::stdinGoneWithExit(Child &ch, std::uint32_t events)
{
    if (!(events & (EPOLLERR | EPOLLHUP)) || ch.stdinGraceOver)
        return false;
    pollfd p{ch.pidfd.get(), POLLIN, 0};
    int n;
    do
        n = ::poll(&p, 1, 0); // a look, never a wait
    while (n < 0 && errno == EINTR);
    poller_.remove(ch.stdinFd.get());
    if (n > 0 || ch.exited) {
        ch.stdinWatched = false;
        log(LOG_DEBUG, "{}: stdin of pid {} closed by its exit", ch.plugin->name, ch.record.Pid);
        return true;
    }
    ch.stdinGrace = true;
    ch.graceEnd = Clock::now() + kExitGrace;
    graces_.push_back(ch.id);
    return true;
}

// Graces that ran out without an exit: the child lives on, and its stdin is
// watched again (if the plug-in still wants write-ready events).
void Host::endStdinGraces(Clock::time_point now)
{
    std::erase_if(graces_, [&](std::uint64_t id) {
        Child *ch = findChild(id);
        if (!ch || !ch->stdinGrace || ch->exited)
            return true;
        if (now < ch->graceEnd)
            return false;
        ch->stdinGrace = false;
        ch->stdinGraceOver = true;
        log(LOG_DEBUG, "{}: stdin of pid {} is closed and the child lives on", ch->plugin->name, ch->record.Pid);
        if (ch->stdinWatched && !poller_.add(ch->stdinFd.get(), EPOLLOUT, token(Kind::ChildIn, ch->id))) {
            log(LOG_ERROR, "cannot watch the stdin of pid {}: {}", ch->record.Pid, std::strerror(errno));
            ch->stdinWatched = false;
        }
        return true;
    });
}

void Host::onChildOutput(std::uint64_t id, std::uint32_t events)
{
    Child *ch = findChild(id);
    if (ch && ch->stdoutWatched)
        offerOutput(*ch, (events & (EPOLLHUP | EPOLLERR)) != 0);
}

// One EXECUTABLE_READABLE event. A plug-in that leaves the bytes where they
// are is not asked again until more arrive (edge-triggered meanwhile), and
// after the exit such an event means all output has been offered.
void Host::offerOutput(Child &ch, bool hangup)
{
    const std::uint64_t id = ch.id;
    const int before = pendingBytes(ch.stdoutFd.get());
    const bool atEof = before == 0 && hangup;
    if (before == 0 && !atEof) {
        if (ch.exited)
            deliverExit(ch);
        return;
    }
    callChild(ch, EXECUTABLE_READABLE);
    Child *again = findChild(id);
    if (!again)
        return;
    Child &c = *again;
    if (atEof) {
        c.stdoutEnded = true;
        stopWatchingStdout(c);
        if (c.exited)
            deliverExit(c);
        return;
    }
    if (c.stdoutSuspended) { // suspended in this call: the exit needs no more output
        if (c.exited)
            deliverExit(c);
        return;
    }
    const int after = pendingBytes(c.stdoutFd.get());
    const bool progress = after != before;
    if (progress == c.stdoutStalled) {
        c.stdoutStalled = !progress;
        poller_.modify(c.stdoutFd.get(), EPOLLIN | (c.stdoutStalled ? EPOLLET : 0u), token(Kind::ChildOut, id));
    }
    if (c.exited && (after == 0 || !progress))
        deliverExit(c);
}

void Host::stopWatchingStdout(Child &ch)
{
    if (ch.stdoutWatched) {
        poller_.remove(ch.stdoutFd.get());
        ch.stdoutWatched = false;
    }
}

void Host::onChildExit(std::uint64_t id)
{
    Child *ch = findChild(id);
    if (!ch || ch->exited)
        return;
    siginfo_t info{};
    const pid_t pid = ch->record.Pid;
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        log(LOG_ERROR, "waitid for pid {} failed: {}", pid, std::strerror(errno));
        ch->status = 255;
    } else if (info.si_pid == 0) {
        return; // not yet
    } else {
        ch->status = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    }
    ch->exited = true;
    poller_.remove(ch->pidfd.get());
    log(LOG_DEBUG, "{}: pid {} exited with status {}", ch->plugin->name, pid, ch->status);
    if (!ch->stdoutWatched)
        deliverExit(*ch);
    else
        offerOutput(*ch, false);
}

void Host::onChildStderr(std::uint64_t id)
{
    Child *ch = findChild(id);
    if (ch && ch->stderrFd)
        readStderr(*ch, kStderrBudget);
}

void Host::readStderr(Child &ch, std::size_t budget)
{
    char buf[16384];
    const auto now = Clock::now();
    for (std::size_t total = 0; total < budget;) {
        const ssize_t n = ::read(ch.stderrFd.get(), buf, sizeof buf);
        if (n > 0) {
            ch.errLines->feed(std::string_view(buf, static_cast<std::size_t>(n)), now, logChildLine);
            total += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        if (n < 0)
            log(LOG_WARN, "{}: reading the stderr of pid {} failed: {}", ch.plugin->name, ch.record.Pid,
                std::strerror(errno));
        closeStderr(ch);
        return;
    }
}

void Host::closeStderr(Child &ch)
{
    if (!ch.stderrFd)
        return;
    ch.errLines->finish(Clock::now(), logChildLine);
    poller_.remove(ch.stderrFd.get());
    ch.stderrFd.reset();
}

// What the child wrote to its stderr is logged before its exit is reported.
// The stderr is closed then, even when a grandchild still holds it open.
void Host::deliverExit(Child &ch)
{
    if (ch.stderrFd) {
        readStderr(ch, kStderrAtExit);
        closeStderr(ch);
    }
    const pid_t pid = ch.record.Pid;
    ch.record.Status = ch.status;
    callChild(ch, EXECUTABLE_EXITED);
    ch.delivered = true;
    liveChildren_.erase(&ch.record);
    if (ch.stdinWatched && !ch.stdinGrace)
        poller_.remove(ch.stdinFd.get());
    stopWatchingStdout(ch);
    // The pid stayed reserved (a zombie) until the plug-in had seen the exit.
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG);
    doneChildren_.push_back(ch.id);
}

} // namespace plughost
