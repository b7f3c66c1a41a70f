#include "clientlib/reply.h"

#include <string>

namespace clientlib {

bool IsReplyCode(uint32_t code, Service service) {
    if (service == Service::File)
        return code == REPLY_OK || code == REPLY_DVL_NO_MEMORY || code == REPLY_VIEWER_ARGV ||
               code == REPLY_WRITE_FAILED;
    return code == REPLY_OK || (code >= REPLY_INTERNAL && code <= REPLY_VIEWER_OTHER);
}

std::string DescribeReply(uint32_t code, Service service) {
    if (service == Service::File) {
        switch (code) {
        case REPLY_OK: return "accepted";
        case REPLY_DVL_NO_MEMORY:
            return "the server has no memory or buffer space for this client (its path, the "
                   "watcher's output or the relay)";
        case REPLY_VIEWER_ARGV:
            return "reading the watcher's output failed on the server (the watcher was stopped)";
        case REPLY_WRITE_FAILED: return "the watcher on the server ended";
        default: return "unknown reply code " + std::to_string(code);
        }
    }
    switch (code) {
    case REPLY_OK: return "success";
    case REPLY_INTERNAL:
        return "internal failure on the server (memory, queue, buffer or write), or the viewer "
               "is unavailable (state -2)";
    case REPLY_VIEWER_3: return "the viewer is unavailable (state -3)";
    case REPLY_VIEWER_4: return "the viewer is unavailable (state -4)";
    case REPLY_VIEWER_127: return "the viewer exited with status 127 and will not be restarted";
    case REPLY_VIEWER_ARGV:
        return "the viewer could not be started (its argument vector failed, state -1)";
    case REPLY_READ_FAILED: return "the viewer's result could not be read";
    case REPLY_WRITE_FAILED: return "the viewer could not be written to";
    case REPLY_KEY_MISMATCH: return "the key presented does not match the server's key";
    case REPLY_NO_KEY_ISSUED: return "a key was presented but the server has not issued one yet";
    case REPLY_CLOCK_FAILED: return "the server could not read its clock";
    case REPLY_VIEWER_OTHER:
        return "the viewer is unavailable, or it exited with status 0 during the request";
    case 1001: return "the viewer rejected the request (result 1001)";
    default:
        return "the viewer's own result " + std::to_string(code) +
               " (or the exit status of a viewer that died during the request)";
    }
}

}  // namespace clientlib
