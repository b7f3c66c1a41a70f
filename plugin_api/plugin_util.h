/*
 * plugin_util.h - what both plug-ins do the same way: log lines after the
 * level test that matches them, and words to clients in big-endian order.
 *
 * Header only (static inline functions and macros), C99 and C++, built on
 * plugin_api.h.
 */
#ifndef PLUGHOST_PLUGIN_UTIL_H
#define PLUGHOST_PLUGIN_UTIL_H

#include <stdint.h>

#include "plugin_api.h"

/* Whether the host logs at `level`, asked with the test of that level. */
static inline int PluginLogIsOn(int level)
{
    switch (level) {
    case LOG_FATAL: return LogIsFatal(Logger);
    case LOG_ERROR: return LogIsError(Logger);
    case LOG_WARN: return LogIsWarn(Logger);
    case LOG_INFO: return LogIsInfo(Logger);
    default: return LogIsDebug(Logger);
    }
}

/* A log line (printf format and arguments), only when its level is on. */
#define PLUGIN_LOG(level, ...)                                                                    \
    do {                                                                                          \
        if (PluginLogIsOn(level))                                                                 \
            LogMessage(Logger, (level), __VA_ARGS__);                                             \
    } while (0)
#define PLUGIN_FATAL(...) PLUGIN_LOG(LOG_FATAL, __VA_ARGS__)
#define PLUGIN_ERROR(...) PLUGIN_LOG(LOG_ERROR, __VA_ARGS__)
#define PLUGIN_WARN(...) PLUGIN_LOG(LOG_WARN, __VA_ARGS__)
#define PLUGIN_DEBUG(...) PLUGIN_LOG(LOG_DEBUG, __VA_ARGS__)

/* Appends a 32-bit word (a reply code, a key, a result) in big-endian byte
 * order. Returns 0, or -1 with nothing appended. */
static inline int PluginWriteWord(CBuffer *out, uint32_t word)
{
    const unsigned char bytes[4] = {(unsigned char)(word >> 24), (unsigned char)(word >> 16),
                                    (unsigned char)(word >> 8), (unsigned char)word};
    return CBufferWrite(out, bytes, sizeof bytes) < 0 ? -1 : 0;
}

#endif /* PLUGHOST_PLUGIN_UTIL_H */
