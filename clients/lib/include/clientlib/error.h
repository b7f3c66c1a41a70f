// Errors raised by the client library and the exit statuses the tools use.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace clientlib {

enum class ErrorKind {
    BadAddress,     // the address text cannot be parsed
    Refused,        // nobody listens at the address
    ConnectFailed,  // any other failure to connect (no such host, unreachable, timeout)
    Timeout,        // the server did not answer in time
    Closed,         // the server closed the connection without a reply code
    Io,             // a read or write on the connection failed
    BadReply,       // the server sent something the protocol does not allow here
    ServerCode,     // the server answered with a non-zero reply code
    KeyFile,        // the key file cannot be read or written
    Local,          // a local file, the terminal or a local program failed
    Usage,          // a request the library refuses before sending it
};

class ClientError : public std::runtime_error {
public:
    ClientError(ErrorKind kind, const std::string& message, uint32_t code = 0)
        : std::runtime_error(message), kind_(kind), code_(code) {}
    ErrorKind kind() const { return kind_; }
    // The reply code, for ErrorKind::ServerCode.
    uint32_t code() const { return code_; }

private:
    ErrorKind kind_;
    uint32_t code_;
};

// Exit statuses shared by dvlfollow and ovclient.
namespace exit_status {
constexpr int kOk = 0;
constexpr int kUnexpected = 1;
constexpr int kUsage = 2;
constexpr int kBadAddress = 3;
constexpr int kRefused = 4;
constexpr int kConnectFailed = 5;
constexpr int kClosed = 6;
constexpr int kBadReply = 7;
constexpr int kTimeout = 8;
constexpr int kIo = 9;
constexpr int kLocal = 10;
constexpr int kKeyFile = 11;
constexpr int kExecFailed = 12;
// Reply codes 18 ... 29 from the server exit with their own number.
constexpr int kViewerResult = 30;  // the viewer answered a non-zero result of its own
}  // namespace exit_status

// The exit status a tool uses for this error.
int ExitStatusFor(const ClientError& error);

}  // namespace clientlib
