/* Cost of one trace line: WriteTraceLog (one append handle per process) beside a naive
 * open-append-close per line, side by side in each round.
 * Usage: bench_trace [rounds [lines]]   (defaults 5 and 2000); writes into %TEMP%. */
#include "svclib/mtpsvc.h"
#include <stdio.h>
#include <stdlib.h>
#include <algorithm>
#include <vector>

enum : int { DEFAULT_ROUNDS = 5, DEFAULT_LINES = 2000 };

static const char kText[] = "bench line with a typical length of a drive command trace 0123456789";

static double g_tickUs;

static double NowUs()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) * g_tickUs;
}

static double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

/* The way a program would do it without a kept handle. */
static int NaiveLine(const char *path, const char *text)
{
    char line[256];
    SYSTEMTIME t;
    GetLocalTime(&t);
    int n = snprintf(line, sizeof line, "%04u/%02u/%02u %02u:%02u:%02u.%03u %08lX %04X %s\r\n", t.wYear,
                     t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds,
                     GetCurrentProcessId(), 0x10u, text);
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    DWORD put = 0;
    BOOL ok = WriteFile(h, line, DWORD(n), &put, nullptr);
    CloseHandle(h);
    return ok && put == DWORD(n);
}

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : DEFAULT_ROUNDS;
    int lines = argc > 2 ? atoi(argv[2]) : DEFAULT_LINES;
    if (rounds < 1 || lines < 1) {
        fprintf(stderr, "usage: bench_trace [rounds>=1 [lines>=1]]\n");
        return 2;
    }
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    g_tickUs = 1e6 / double(f.QuadPart);

    char tmp[MAX_PATH], kept[MAX_PATH], naive[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    snprintf(kept, sizeof kept, "%sbench_kept_%lu.log", tmp, GetCurrentProcessId());
    snprintf(naive, sizeof naive, "%sbench_naive_%lu.log", tmp, GetCurrentProcessId());
    SetEnvironmentVariableA("MTP_TRACE_LOG", kept);
    if (!WriteTraceLog(0, 0x10, "warm-up")) {
        fprintf(stderr, "bench_trace: cannot write %s\n", kept);
        return 1;
    }

    std::vector<double> allKept, allNaive;
    printf("lines per round %d, each line timed on its own\n", lines);
    for (int r = 0; r < rounds; r++) {
        std::vector<double> k, n;
        /* Alternating lines so that both see the same machine load. */
        for (int i = 0; i < lines; i++) {
            double t0 = NowUs();
            WriteTraceLog(0, 0x10, kText);
            double t1 = NowUs();
            NaiveLine(naive, kText);
            double t2 = NowUs();
            k.push_back(t1 - t0);
            n.push_back(t2 - t1);
        }
        double mk = Median(k), mn = Median(n);
        printf("round %d: WriteTraceLog %.2f us/line, open-append-close %.2f us/line, ratio %.1f\n", r + 1, mk,
               mn, mk > 0 ? mn / mk : 0);
        allKept.insert(allKept.end(), k.begin(), k.end());
        allNaive.insert(allNaive.end(), n.begin(), n.end());
    }
    double mk = Median(allKept), mn = Median(allNaive);
    printf("median: WriteTraceLog %.2f us/line, open-append-close %.2f us/line, ratio %.1f\n", mk, mn,
           mk > 0 ? mn / mk : 0);
    DeleteFileA(kept);
    DeleteFileA(naive);
    return 0;
}
