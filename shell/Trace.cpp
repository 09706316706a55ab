#include "shell/shell.h"
#include "svclib/mtpsvc.h"
#include <stdarg.h>
#include <stdio.h>

AppContext g_app;

/* Formats one line into traceText and writes it with the application's trace kind. Main thread. */
void AppTrace(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_app.traceText, sizeof g_app.traceText, fmt, ap);
    va_end(ap);
    WriteTraceLog(0, TRACE_KIND_APP, g_app.traceText);
}
