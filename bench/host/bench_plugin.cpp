// Benchmark plug-in: answers every 12-byte request with a 28-byte answer.
#include "plugin_api.h"

namespace {
constexpr size_t kRequest = 12, kAnswer = 28;
}

extern "C" {

void Initialize(void *) {}
void Dispose(void) {}

int ClientHandler(ClientRecord *client, int kind)
{
    if (kind != CLIENT_DATA)
        return 0;
    unsigned char request[kRequest], answer[kAnswer] = {};
    while (CBufferSize(client->InBuffer) >= kRequest) {
        CBufferRead(client->InBuffer, request, kRequest);
        for (size_t i = 0; i < kRequest; ++i)
            answer[i] = request[i];
        if (CBufferWrite(client->OutBuffer, answer, kAnswer) < 0) {
            CloseClient(client);
            return 0;
        }
    }
    return 0;
}

int ExecutableHandler(ExecutableRecord *, int) { return 0; }
int TimeoutHandler(void *) { return 0; }
int IOHandler(void *) { return 0; }

} // extern "C"
