/*
 * plugin_settings.h - reading the values of plug-in settings
 * (GetPluginOption) in the same forms plughost's own size options take.
 *
 * Header only (static functions), C99 and C++, C library only.
 */
#ifndef PLUGHOST_PLUGIN_SETTINGS_H
#define PLUGHOST_PLUGIN_SETTINGS_H

#include <ctype.h>
#include <stdint.h>
#include <string.h>

/* A byte count: digits, then optionally a unit k, kb, kib, m, mb, mib, g, gb
 * or gib (any case; all powers of 1024), blanks allowed before the unit, e.g.
 * "65536", "64MiB", "512 k". Returns 0 with *value set, or -1 (value
 * untouched) for anything else, 0 included, and above 2^40. */
static inline int PluginSettingSize(const char *text, int64_t *value)
{
    static const struct {
        const char *unit;
        int shift;
    } units[] = {{"", 0},    {"k", 10},   {"kb", 10}, {"kib", 10}, {"m", 20},
                 {"mb", 20}, {"mib", 20}, {"g", 30},  {"gb", 30},  {"gib", 30}};
    const int64_t limit = (int64_t)1 << 40;
    int64_t n = 0;
    const char *p = text;
    char unit[4];
    size_t length = 0;
    if (!p || !isdigit((unsigned char)*p))
        return -1;
    while (isdigit((unsigned char)*p)) {
        n = n * 10 + (*p++ - '0');
        if (n > limit)
            return -1;
    }
    while (*p == ' ')
        p++;
    while (*p && length < sizeof unit - 1)
        unit[length++] = (char)tolower((unsigned char)*p++);
    unit[length] = '\0';
    if (*p)
        return -1;
    for (size_t i = 0; i < sizeof units / sizeof units[0]; i++) {
        if (strcmp(unit, units[i].unit) == 0) {
            if (n == 0 || n > (limit >> units[i].shift))
                return -1;
            *value = n << units[i].shift;
            return 0;
        }
    }
    return -1;
}

#endif /* PLUGHOST_PLUGIN_SETTINGS_H */
