#include "clientlib/follow.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include "clientlib/bytes.h"
#include "clientlib/error.h"
#include "clientlib/reply.h"

namespace clientlib {
namespace {

bool IsClosingCode(uint32_t word) {
    return word == REPLY_DVL_NO_MEMORY || word == REPLY_VIEWER_ARGV || word == REPLY_WRITE_FAILED;
}

[[noreturn]] void ThrowCode(uint32_t code, const char* when) {
    if (IsReplyCode(code, Service::File))
        throw ClientError(ErrorKind::ServerCode,
                          std::string(when) + ": reply code " + std::to_string(code) + ": " +
                              DescribeReply(code, Service::File),
                          code);
    throw ClientError(ErrorKind::BadReply,
                      std::string(when) + ": unexpected word " + std::to_string(code));
}

constexpr size_t kChunk = 1 << 16;
constexpr size_t kMaxReserve = 16u << 20;

}  // namespace

FollowSession FollowSession::Connect(const Address& address, std::chrono::milliseconds timeout) {
    return Attach(clientlib::Connect(address, timeout), Deadline::After(timeout));
}

FollowSession FollowSession::Attach(Socket socket, Deadline deadline) {
    uint32_t word = ReadWord(socket.fd(), deadline);
    if (word != REPLY_OK) ThrowCode(word, "the server refused the connection");
    return FollowSession(std::move(socket));
}

void FollowSession::Start(std::string_view path, Deadline deadline) {
    if (path.find('\0') != std::string_view::npos)
        throw ClientError(ErrorKind::Usage, "the path holds a NUL byte");
    const uint8_t nul = 0;
    std::span<const uint8_t> pieces[2] = {
        {reinterpret_cast<const uint8_t*>(path.data()), path.size()}, {&nul, 1}};
    WriteAll(fd(), pieces, deadline);
    uint32_t word;
    try {
        word = ReadWord(fd(), deadline);
    } catch (const ClientError& e) {
        if (e.kind() == ErrorKind::Closed)
            throw ClientError(ErrorKind::Closed,
                              "the server closed the connection before the watcher started");
        throw;
    }
    if (word != REPLY_OK) ThrowCode(word, "the watcher did not start");
}

FollowEvent FollowSession::Next(Deadline deadline) {
    FollowEvent ev;
    uint8_t w[4];
    size_t got = ReadUpTo(fd(), w, 4, deadline);
    if (got == 0) {
        ev.kind = FollowEvent::Kind::Closed;
        return ev;
    }
    if (got < 4)
        throw ClientError(ErrorKind::BadReply,
                          "the server closed the connection inside a length word");
    uint32_t length = GetBe32(w);
    if (length > kMaxRecordLength)
        throw ClientError(ErrorKind::BadReply,
                          "record length " + std::to_string(length) + " is beyond what the server sends");

    std::string& content = ev.content;
    content.reserve(std::min<size_t>(length, kMaxReserve));
    while (content.size() < length) {
        size_t want = std::min<size_t>(kChunk, length - content.size());
        size_t at = content.size();
        content.resize(at + want);
        size_t n = ReadUpTo(fd(), content.data() + at, want, deadline);
        content.resize(at + n);
        if (n < want) break;  // end of stream
    }
    if (content.size() == length) {
        ev.kind = FollowEvent::Kind::Version;
        return ev;
    }
    // End of stream inside the record: a closing code, or a record broken off.
    if (content.empty() && IsClosingCode(length)) {
        ev.kind = FollowEvent::Kind::ClosingCode;
        ev.code = length;
        return ev;
    }
    // Out of buffer space in the middle of a record, the server appends code 18 and closes.
    static const uint8_t kCode18[4] = {0, 0, 0, REPLY_DVL_NO_MEMORY};
    if (content.size() >= 4 && std::memcmp(content.data() + content.size() - 4, kCode18, 4) == 0) {
        ev.kind = FollowEvent::Kind::ClosingCode;
        ev.code = REPLY_DVL_NO_MEMORY;
        ev.mid_record = true;
        ev.content.clear();
        return ev;
    }
    throw ClientError(ErrorKind::Closed,
                      "the server closed the connection after " + std::to_string(content.size()) +
                          " of the " + std::to_string(length) + " bytes of a version");
}

}  // namespace clientlib

namespace clientlib {

ReconnectingFollow::ReconnectingFollow(Address address, std::string path,
                                       std::chrono::milliseconds timeout, Backoff backoff, Note note)
    : address_(std::move(address)),
      path_(std::move(path)),
      timeout_(timeout),
      backoff_(backoff),
      note_(std::move(note)),
      delay_(backoff.first) {
    if (path_.find('\0') != std::string::npos)
        throw ClientError(ErrorKind::Usage, "the path holds a NUL byte");
}

std::optional<std::string> ReconnectingFollow::Retryable(const FollowEvent& ev) const {
    if (ev.kind == FollowEvent::Kind::Closed)
        return std::string("the server closed the connection");
    if (ev.code == REPLY_DVL_NO_MEMORY || ev.code == REPLY_VIEWER_ARGV ||
        (ev.code == REPLY_WRITE_FAILED && last_))
        return "reply code " + std::to_string(ev.code) + ": " + DescribeReply(ev.code, Service::File);
    return std::nullopt;
}

void ReconnectingFollow::Wait(const std::string& reason) {
    session_.reset();
    if (note_) note_(reason, delay_);
    std::this_thread::sleep_for(delay_);
    delay_ = std::min(backoff_.most, delay_ * 2);
}

FollowEvent ReconnectingFollow::Next() {
    for (;;) {
        FollowEvent ev;
        try {
            if (!session_) {
                fresh_ = true;
                ++connections_;
                session_.emplace(FollowSession::Connect(address_, timeout_));
                session_->Start(path_, Deadline::After(timeout_));
            }
            ev = session_->Next();
        } catch (const ClientError& e) {
            switch (e.kind()) {
            case ErrorKind::Refused:
            case ErrorKind::ConnectFailed:
            case ErrorKind::Closed:
            case ErrorKind::Timeout:
            case ErrorKind::Io:
                Wait(e.what());
                continue;
            case ErrorKind::ServerCode: {
                FollowEvent code;
                code.kind = FollowEvent::Kind::ClosingCode;
                code.code = e.code();
                if (auto reason = Retryable(code)) {
                    Wait(e.what());
                    continue;
                }
                throw;
            }
            default: throw;
            }
        }
        if (ev.kind != FollowEvent::Kind::Version) {
            if (auto reason = Retryable(ev)) {
                Wait(*reason);
                continue;
            }
            session_.reset();
            return ev;
        }
        const bool repeat = fresh_ && last_ && *last_ == ev.content;
        if (fresh_) delay_ = backoff_.first;
        fresh_ = false;
        if (repeat) continue;
        last_ = ev.content;
        return ev;
    }
}

}  // namespace clientlib
