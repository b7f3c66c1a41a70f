#include "clientlib/error.h"

namespace clientlib {

int ExitStatusFor(const ClientError& error) {
    switch (error.kind()) {
    case ErrorKind::BadAddress: return exit_status::kBadAddress;
    case ErrorKind::Refused: return exit_status::kRefused;
    case ErrorKind::ConnectFailed: return exit_status::kConnectFailed;
    case ErrorKind::Timeout: return exit_status::kTimeout;
    case ErrorKind::Closed: return exit_status::kClosed;
    case ErrorKind::Io: return exit_status::kIo;
    case ErrorKind::BadReply: return exit_status::kBadReply;
    case ErrorKind::ServerCode:
        // Reply codes are small numbers; any other word is the viewer's own.
        if (error.code() >= 18 && error.code() <= 29) return static_cast<int>(error.code());
        return exit_status::kViewerResult;
    case ErrorKind::KeyFile: return exit_status::kKeyFile;
    case ErrorKind::Local: return exit_status::kLocal;
    case ErrorKind::Usage: return exit_status::kUsage;
    }
    return exit_status::kUnexpected;
}

}  // namespace clientlib
