#include "clientlib/follow.h"

#include <algorithm>
#include <cstring>
#include <string>

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
