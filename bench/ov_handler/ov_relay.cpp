// The baseline for the frame benchmark: a minimal single-threaded epoll relay
// that speaks the image service's client protocol for show requests and does
// what the host and the plug-in do for them with the fewest copies: the
// pixels are received from the socket straight into a frame buffer behind
// the 16-byte frame header, the buffer is written to the viewer's standard
// input as far as the pipe takes it, the viewer's 4-byte result is read and
// sent back as a big-endian word. Frame buffers are reused.
//
//   ov_relay VIEWER [ARGS...]
// Starts the viewer with pipes (1 MiB, like the host), listens on
// 127.0.0.1 with an ephemeral port, prints "listening on 127.0.0.1:PORT" and
// "ready", serves one client at a time. Only command 0 and the key handshake
// are understood (the key issued is 1); anything else ends the connection.
// SIGTERM ends it; the viewer then sees end of input.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

extern char **environ;

namespace {

struct Frame {
    std::vector<uint8_t> bytes; // 16-byte header in host order, then the pixels
    size_t length = 0;
};

uint32_t be32(const uint8_t *p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

bool sendAll(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno == EAGAIN)
            continue; // a few bytes of answers: the socket buffer never stays full
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool sendWord(int fd, uint32_t v)
{
    uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    return sendAll(fd, b, 4);
}

class Relay {
public:
    Relay(int ep, int toViewer, int fromViewer) : ep_(ep), toViewer_(toViewer), fromViewer_(fromViewer) {}

    void accept(int fd)
    {
        client_ = fd;
        keyGot_ = 0;
        headerGot_ = 0;
        filling_ = nullptr;
        sendWord(client_, 0);
    }
    bool busy() const { return client_ >= 0; }

    // Reads whatever the client has sent; false when the connection ended.
    bool clientReadable()
    {
        for (;;) {
            uint8_t *dst;
            size_t want;
            if (keyGot_ < 4) {
                dst = key_ + keyGot_;
                want = 4 - keyGot_;
            } else if (!filling_) {
                dst = header_ + headerGot_;
                want = 20 - headerGot_;
            } else {
                dst = filling_->bytes.data() + 16 + pixelsGot_;
                want = filling_->length - 16 - pixelsGot_;
            }
            ssize_t n = ::recv(client_, dst, want, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return true;
            if (n <= 0)
                return false;
            if (keyGot_ < 4) {
                keyGot_ += static_cast<size_t>(n);
                if (keyGot_ == 4) {
                    sendWord(client_, 0);
                    if (be32(key_) == 0)
                        sendWord(client_, 1);
                }
            } else if (!filling_) {
                headerGot_ += static_cast<size_t>(n);
                if (headerGot_ == 20 && !startFrame())
                    return false;
            } else {
                pixelsGot_ += static_cast<size_t>(n);
                if (16 + pixelsGot_ == filling_->length)
                    frameComplete();
            }
        }
    }

    void viewerWritable() { writeFrame(); }

    // Reads the current frame's result; false when the viewer is gone.
    bool viewerReadable()
    {
        for (;;) {
            ssize_t n = ::read(fromViewer_, result_ + resultGot_, 4 - resultGot_);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return true;
            if (n <= 0)
                return false;
            resultGot_ += static_cast<size_t>(n);
            if (resultGot_ < 4)
                continue;
            resultGot_ = 0;
            int32_t result;
            std::memcpy(&result, result_, 4);
            if (awaiting_) {
                awaiting_ = false;
                pool_.push_back(std::move(ready_.front()));
                ready_.pop_front();
                if (client_ >= 0)
                    sendWord(client_, static_cast<uint32_t>(result));
                writeFrame();
            }
        }
    }

    void closeClient()
    {
        ::epoll_ctl(ep_, EPOLL_CTL_DEL, client_, nullptr);
        ::close(client_);
        client_ = -1;
        if (filling_)
            pool_.push_back(std::move(fillingOwner_));
        filling_ = nullptr;
    }

private:
    bool startFrame()
    {
        const uint32_t command = be32(header_);
        const int32_t w = static_cast<int32_t>(be32(header_ + 4)), h = static_cast<int32_t>(be32(header_ + 8));
        const int32_t x = static_cast<int32_t>(be32(header_ + 12)), y = static_cast<int32_t>(be32(header_ + 16));
        if (command != 0 || w < 0 || h < 0 || int64_t{w} * h * 3 > INT32_MAX - 20)
            return false;
        if (pool_.empty())
            pool_.push_back(std::make_unique<Frame>());
        fillingOwner_ = std::move(pool_.back());
        pool_.pop_back();
        filling_ = fillingOwner_.get();
        filling_->length = 16 + size_t(w) * size_t(h) * 3;
        if (filling_->bytes.size() < filling_->length)
            filling_->bytes.resize(filling_->length);
        const int32_t words[4] = {x, y, w, h};
        std::memcpy(filling_->bytes.data(), words, 16);
        pixelsGot_ = 0;
        if (filling_->length == 16)
            frameComplete();
        return true;
    }

    void frameComplete()
    {
        ready_.push_back(std::move(fillingOwner_));
        filling_ = nullptr;
        headerGot_ = 0;
        writeFrame();
    }

    void watchViewerInput(bool on)
    {
        if (on == watching_)
            return;
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.fd = toViewer_;
        ::epoll_ctl(ep_, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, toViewer_, &ev);
        watching_ = on;
    }

    // Writes the oldest complete frame as far as the pipe takes it.
    void writeFrame()
    {
        if (awaiting_ || ready_.empty())
            return;
        Frame &f = *ready_.front();
        while (written_ < f.length) {
            ssize_t n = ::write(toViewer_, f.bytes.data() + written_, f.length - written_);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN) {
                watchViewerInput(true);
                return;
            }
            if (n <= 0) {
                std::perror("ov_relay: write to the viewer");
                std::exit(1);
            }
            written_ += static_cast<size_t>(n);
        }
        watchViewerInput(false);
        written_ = 0;
        awaiting_ = true;
    }

    int ep_, toViewer_, fromViewer_;
    int client_ = -1;
    uint8_t key_[4] = {};
    size_t keyGot_ = 0;
    uint8_t header_[20] = {};
    size_t headerGot_ = 0;
    Frame *filling_ = nullptr;
    std::unique_ptr<Frame> fillingOwner_;
    size_t pixelsGot_ = 0;
    std::deque<std::unique_ptr<Frame>> ready_;
    std::vector<std::unique_ptr<Frame>> pool_;
    size_t written_ = 0;
    bool awaiting_ = false;
    bool watching_ = false;
    uint8_t result_[4] = {};
    size_t resultGot_ = 0;
};

// Starts the viewer with its standard input and output on pipes; our ends
// are non-blocking, as the host's are.
pid_t startViewer(char **argv, int *toViewer, int *fromViewer)
{
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        return -1;
    ::fcntl(in[1], F_SETPIPE_SZ, 1 << 20);
    ::fcntl(out[0], F_SETPIPE_SZ, 1 << 20);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &fa, nullptr, argv, environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    ::fcntl(in[1], F_SETFL, O_NONBLOCK);
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    *toViewer = in[1];
    *fromViewer = out[0];
    return pid;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: ov_relay VIEWER [ARGS...]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    int toViewer = -1, fromViewer = -1;
    if (startViewer(argv + 1, &toViewer, &fromViewer) <= 0) {
        std::perror("ov_relay: cannot start the viewer");
        return 1;
    }
    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (lfd < 0 || ::bind(lfd, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0 || ::listen(lfd, 16) != 0) {
        std::perror("ov_relay: listen");
        return 1;
    }
    socklen_t len = sizeof in;
    ::getsockname(lfd, reinterpret_cast<sockaddr *>(&in), &len);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = lfd;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
    ev.data.fd = fromViewer;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fromViewer, &ev);
    std::printf("listening on 127.0.0.1:%d (relay)\nready\n", ntohs(in.sin_port));
    std::fflush(stdout);

    Relay relay(ep, toViewer, fromViewer);
    int client = -1;
    bool listening = true;
    epoll_event events[8];
    for (;;) {
        const int n = ::epoll_wait(ep, events, 8, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == lfd) {
                if (relay.busy()) {
                    // One client at a time; the next waits in the backlog.
                    ::epoll_ctl(ep, EPOLL_CTL_DEL, lfd, nullptr);
                    listening = false;
                    continue;
                }
                client = ::accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (client < 0)
                    continue;
                const int on = 1;
                ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                epoll_event cev{};
                cev.events = EPOLLIN;
                cev.data.fd = client;
                ::epoll_ctl(ep, EPOLL_CTL_ADD, client, &cev);
                relay.accept(client);
            } else if (fd == fromViewer) {
                if (!relay.viewerReadable()) {
                    std::fprintf(stderr, "ov_relay: the viewer is gone\n");
                    return 1;
                }
            } else if (fd == toViewer) {
                relay.viewerWritable();
            } else if (fd == client && relay.busy()) {
                if (!relay.clientReadable()) {
                    relay.closeClient();
                    if (!listening) {
                        epoll_event lev{};
                        lev.events = EPOLLIN;
                        lev.data.fd = lfd;
                        ::epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &lev);
                        listening = true;
                    }
                }
            }
        }
    }
}
