#include "drivecmd/drivecmd.h"
#include "svclib/mtpsvc.h"
#include <stdarg.h>
#include <stdio.h>

enum : uint16_t { TRACE_KIND_APP = 6 };

/* One line with the application's trace kind; the buffer is the calling thread's own, since the
 * receive handlers write lines too. */
void DcTrace(const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    WriteTraceLog(0, TRACE_KIND_APP, line);
}
