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
#include <functional>
#include <optional>
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

// Back-off between reconnections: `first`, doubled after each failed
// attempt up to `most`; back to `first` once a connection delivered a version.
struct Backoff {
    std::chrono::milliseconds first{100};
    std::chrono::milliseconds most{5000};
};

// Follows a file across dropped connections and server restarts. Retried:
// failures to connect, the connection closed or reset, timeouts, I/O errors,
// closing codes 18 and 23, and 25 once a version has been delivered (a path
// that never gave a version and ended with 25 cannot be followed). After a
// reconnection the first version is delivered only when it differs from the
// last one delivered, so the caller sees the current version once.
class ReconnectingFollow {
public:
    // Called before each wait with the reason and the delay.
    using Note = std::function<void(const std::string& reason, std::chrono::milliseconds delay)>;

    ReconnectingFollow(Address address, std::string path, std::chrono::milliseconds timeout, Backoff backoff,
                       Note note);

    // The next version (kind Version). What cannot be retried ends the
    // follow: a closing code is returned (ClosingCode), any other failure is
    // thrown as ClientError.
    FollowEvent Next();

    // Connections made so far.
    uint64_t connections() const { return connections_; }

private:
    // Why the current attempt failed, or nothing when it must not be retried.
    std::optional<std::string> Retryable(const FollowEvent& ev) const;
    void Wait(const std::string& reason);

    Address address_;
    std::string path_;
    std::chrono::milliseconds timeout_;
    Backoff backoff_;
    Note note_;
    std::optional<FollowSession> session_;
    std::chrono::milliseconds delay_;
    std::optional<std::string> last_;  // the last version delivered
    bool fresh_ = true;                // no version read on this connection yet
    uint64_t connections_ = 0;
};

}  // namespace clientlib
