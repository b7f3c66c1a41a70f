// Reply codes in words. Some codes mean different things per service.
#pragma once

#include <cstdint>
#include <string>

#include "plugin_api.h"

namespace clientlib {

enum class Service {
    File,   // the file-follow service (dvlfollow)
    Image,  // the image service (ovclient)
};

// Words for a reply code, e.g. 25 for Service::File: "the watcher on the
// server ended". For the image service a word that is no reply code is the
// viewer's own result (or the exit status of a viewer that died in the job).
std::string DescribeReply(uint32_t code, Service service);

// True for the words the server sends as reply codes in that service.
bool IsReplyCode(uint32_t code, Service service);

}  // namespace clientlib
