#include "svclib/mtptime.h"
#include <windows.h>
#include <stdlib.h>

static LONG g_divisor;   /* 0 until read */

/* Reads MTP_TIME_DIVISOR once; anything that is not a whole number from 1 counts as 1. */
uint32_t MtpTimeDivisor()
{
    LONG d = InterlockedCompareExchange(&g_divisor, 0, 0);
    if (d != 0)
        return uint32_t(d);
    char buf[32];
    DWORD n = GetEnvironmentVariableA("MTP_TIME_DIVISOR", buf, sizeof buf);
    d = 1;
    if (n > 0 && n < sizeof buf) {
        char *end = nullptr;
        unsigned long v = strtoul(buf, &end, 10);
        if (end != buf && *end == '\0' && v >= 1 && v <= 100000)
            d = LONG(v);
    }
    InterlockedExchange(&g_divisor, d);
    return uint32_t(d);
}

uint32_t MtpScaleMs(uint32_t ms)
{
    if (ms == 0)
        return 0;
    uint32_t s = ms / MtpTimeDivisor();
    return s ? s : 1;
}
