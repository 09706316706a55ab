/* Writes communication trace lines through the communication library, as the suite's
 * applications do; for trying the trace files from a shell and for concurrency tests.
 * Usage: CmTraceWrite.exe [--id ID] [--alt] [--count N] [--threads T] TEXT
 * Each of T threads (default 1) writes N lines (default 1) "TEXT" or, with N or T above 1,
 * "TEXT tT nNNNNN" numbered from 0. --alt writes the mtp_cmlx pair. Exit code 0, or 3 for bad
 * arguments. */
#include "cmlb/cmlb.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char *g_text;
static unsigned long g_count = 1, g_threads = 1;

static DWORD WINAPI Writer(void *arg)
{
    unsigned long t = (unsigned long)(uintptr_t)arg;
    for (unsigned long i = 0; i < g_count; i++) {
        if (g_count == 1 && g_threads == 1)
            CMTrace(CMT_LINE, "%s", g_text);
        else
            CMTrace(CMT_LINE, "%s t%lu n%06lu", g_text, t, i);
    }
    return 0;
}

static int Usage()
{
    fprintf(stderr, "usage: CmTraceWrite.exe [--id ID] [--alt] [--count N] [--threads T] TEXT\n");
    return 3;
}

int main(int argc, char **argv)
{
    const char *id = "";
    int flags = CMT_FLAG_QUIET;   /* no OPEN and CLOSE lines */
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (!strcmp(a, "--alt"))
            flags |= CMT_FLAG_ALT_FILES;
        else if (!strcmp(a, "--id") && i + 1 < argc && strlen(argv[i + 1]) < 8)
            id = argv[++i];
        else if ((!strcmp(a, "--count") || !strcmp(a, "--threads")) && i + 1 < argc) {
            char *end = nullptr;
            unsigned long n = strtoul(argv[++i], &end, 10);
            if (*end || n == 0 || n > 1000000 || (a[2] == 't' && n > 64))
                return Usage();
            (a[2] == 'c' ? g_count : g_threads) = n;
        } else if (a[0] != '-' && !g_text)
            g_text = a;
        else
            return Usage();
    }
    if (!g_text)
        return Usage();
    CMTrace(CMT_OPEN, id, flags);
    HANDLE th[64];
    for (unsigned long t = 0; t < g_threads; t++)
        th[t] = CreateThread(nullptr, 0, Writer, (void *)(uintptr_t)t, 0, nullptr);
    for (unsigned long t = 0; t < g_threads; t++) {
        if (th[t]) {
            WaitForSingleObject(th[t], INFINITE);
            CloseHandle(th[t]);
        } else {
            Writer((void *)(uintptr_t)t);
        }
    }
    CMTrace(CMT_CLOSE);
    return 0;
}
