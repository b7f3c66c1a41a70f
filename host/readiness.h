// Telling a service manager that plughost is ready.
#pragma once

namespace plughost {

// Sends READY=1 to systemd when it started plughost with NOTIFY_SOCKET set
// and plughost was built with libsystemd; otherwise does nothing. Children
// started later do not inherit NOTIFY_SOCKET.
void notifyReady();

} // namespace plughost
