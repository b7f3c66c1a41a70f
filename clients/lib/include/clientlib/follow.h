// Client side of the file-follow service.
//
// Conversation: connect, reply 0; send the path and a NUL; reply 0 once the
// watcher runs; then one record per version of the file (a big-endian length,
// then that many bytes); at the end a closing code (18, 23 or 25) and the close.
// A closing code looks like a length: it is told apart by the end of stream
// that follows it at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "clientlib/address.h"
#include "clientlib/io.h"

namespace clientlib {

struct FollowEvent {
    enum class Kind {
        Version,      // `content` holds one whole version of the file
        ClosingCode,  // the server sent `code` and closed the connection
        Closed,       // the server closed the connection between records, without a code
    };
    Kind kind = Kind::Closed;
    std::string content;
    uint32_t code = 0;
    // For ClosingCode 18 only: the server stopped in the middle of a version
    // (it had no buffer space for the rest). The partial content is dropped.
    bool mid_record = false;
};

// Largest record length the server can send.
constexpr uint32_t kMaxRecordLength = 0x7FFFFFFBu;  // 2^31 - 5

class FollowSession {
public:
    // Connects and reads the first reply (0). A refusal (18) throws
    // ClientError(ServerCode).
    static FollowSession Connect(const Address& address, std::chrono::milliseconds timeout);
    // Takes over a connected socket whose first reply has not been read yet.
    static FollowSession Attach(Socket socket, Deadline deadline);

    // Sends the path and its NUL, then waits for reply 0 (the watcher runs).
    // A closing code instead throws ClientError(ServerCode). A path holding a
    // NUL byte throws ClientError(Usage) and sends nothing.
    void Start(std::string_view path, Deadline deadline);

    // Waits for the next version or the end of the conversation. A stream
    // that breaks inside a record throws ClientError(Closed); a length above
    // kMaxRecordLength or a torn length word throws ClientError(BadReply).
    FollowEvent Next(Deadline deadline = Deadline::Never());

    int fd() const { return socket_.fd(); }

private:
    explicit FollowSession(Socket s) : socket_(std::move(s)) {}
    Socket socket_;
};

}  // namespace clientlib
