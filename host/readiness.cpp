#include "readiness.h"

#include "logger.h"
#include "plugin_api.h"

#ifdef PLUGHOST_SYSTEMD_NOTIFY
#include <systemd/sd-daemon.h>

#include <cstring>
#endif

namespace plughost {

void notifyReady()
{
#ifdef PLUGHOST_SYSTEMD_NOTIFY
    // 1: unset NOTIFY_SOCKET, so that viewers and watchers never talk to it.
    const int rc = ::sd_notify(1, "READY=1");
    if (rc < 0)
        log(LOG_WARN, "cannot tell systemd that plughost is ready: {}", std::strerror(-rc));
#endif
}

} // namespace plughost
