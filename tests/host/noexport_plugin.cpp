// A plug-in without IOHandler: plughost must refuse to start with it.
#include "plugin_api.h"

extern "C" {
void Initialize(void *) {}
void Dispose(void) {}
int ClientHandler(ClientRecord *, int) { return 0; }
int ExecutableHandler(ExecutableRecord *, int) { return 0; }
int TimeoutHandler(void *) { return 0; }
}
