/* Progress of a run, read from the maintenance trace log as the program writes it: a unit's
 * diagnosis opens with "Check Bypass Start", its routine starts with "CF Routine Start." (or
 * C0), each sub-routine and path with "C3 Routine Start. CRdev#=0804 MPID=0084", and the
 * program's end with "VESTRA END". Main thread. */
#include "sim/launcher.h"
#include "svclib/mtpsvc.h"
#include "svclib/mtptime.h"
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <string>

enum : size_t { COL_PID = 24, COL_TEXT = 38, READ_MAX = 1 << 16 };
enum : uint32_t { C3_PASSES = 2, C3_PAUSE_MS = 10000, LINE_WIDTH = 79 };

static std::string g_path, g_pending;
static long long   g_offset;
static char        g_pid[9];
static int         g_terminal, g_shown;
static std::string g_lastShown;

static int Starts(const char *text, const char *head) { return strncmp(text, head, strlen(head)) == 0; }

void WatchBegin(RunWatch *w, const uint32_t *tested, uint8_t routine, DWORD pid)
{
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("MTP_TRACE_LOG", path, sizeof path);
    g_path = n && n < sizeof path ? path : "c:\\trn600\\log\\mtptrace.log";
    WIN32_FILE_ATTRIBUTE_DATA fa;
    g_offset = GetFileAttributesExA(g_path.c_str(), GetFileExInfoStandard, &fa)
             ? (long long)fa.nFileSizeHigh << 32 | fa.nFileSizeLow : 0;
    g_pending.clear();
    snprintf(g_pid, sizeof g_pid, "%08lX", pid);
    DWORD mode;
    g_terminal = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) || _isatty(2);
    memset(w, 0, sizeof *w);
    /* The program runs CF or C0 from a launch block; anything else becomes C0. */
    w->routineRun = routine == 0xCF ? 0xCF : 0xC0;
    uint32_t any = 0;
    for (uint32_t r = 0; r < LAUNCH_ROWS; r++)
        any |= tested[r];
    for (uint32_t u = 0; u < LAUNCH_UNITS; u++) {
        if (!(any & UnitBit(u)))
            continue;
        uint32_t r = 0;
        while (!(tested[r] & UnitBit(u)))
            r++;
        w->firstRow[w->unitCount] = uint8_t(r);
        w->units[w->unitCount++] = uint8_t(u);
    }
}

/* One line of the program. */
static void Take(RunWatch *w, const char *text, DWORD nowMs)
{
    unsigned sub = 0, cr = 0;
    if (!strcmp(text, "Check Bypass Start") && (w->unitsBegun == 0 || w->routineOfUnit)) {
        if (w->unitsBegun)
            w->doneUnitsMs = nowMs;
        w->unitsBegun++;
        w->routineOfUnit = 0;
        w->subRoutine = 0;
        w->pausesSeen = 0;
        w->unitStartMs = nowMs;
        uint32_t i = w->unitsBegun <= w->unitCount ? w->unitsBegun - 1 : 0;
        w->drive = uint16_t(w->units[i] << 8 | w->firstRow[i]);
    } else if (Starts(text, "CF Routine Start.") || Starts(text, "C0 Routine Start.")) {
        w->routineOfUnit = 1;
        w->routineRun = text[1] == 'F' ? 0xCF : 0xC0;
        w->routineSeen = 1;
    } else if (sscanf(text, "C%1u Routine Start. CRdev#=%4x", &sub, &cr) == 2) {
        w->subRoutine = uint8_t(0xC0 | sub);
        w->drive = uint16_t(cr);
        w->pausesSeen += sub == 3;
    } else if (!strcmp(text, "VESTRA END")) {
        w->ended = 1;
    }
}

/* Whole lines only; a line still being written (NULs where its bytes will be) waits, and the
 * text kept waiting stays bounded. */
static void ReadNew(RunWatch *w, DWORD nowMs)
{
    HANDLE f = CreateFileA(g_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    static char buf[READ_MAX];
    LARGE_INTEGER at;
    at.QuadPart = g_offset;
    DWORD got = 0;
    if (SetFilePointerEx(f, at, nullptr, FILE_BEGIN) && ReadFile(f, buf, sizeof buf, &got, nullptr))
        g_pending.append(buf, got);
    CloseHandle(f);
    g_offset += got;
    size_t pos = 0, end;
    while ((end = g_pending.find('\n', pos)) != std::string::npos) {
        std::string line = g_pending.substr(pos, end - pos);
        /* NULs left by a writer that died mid-line would hold back everything behind them:
         * such a line is given up once a whole read has arrived after it. */
        if (line.find('\0') != std::string::npos && g_pending.size() - end <= READ_MAX)
            break;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() >= COL_TEXT && line.compare(COL_PID, 8, g_pid) == 0)
            Take(w, line.c_str() + COL_TEXT, nowMs);
        pos = end + 1;
    }
    g_pending.erase(0, pos);
}

/* Seconds left by the pauses the routine must still make, plus the time whole units took
 * beyond their pauses for each unit not yet begun. */
static DWORD EstimateLeftMs(const RunWatch *w, uint8_t routine)
{
    uint32_t div = MtpTimeDivisor(), pause = C3_PAUSE_MS / (div ? div : 1);
    uint32_t perUnit = routine == 0xCF ? C3_PASSES * pause : 0;
    uint32_t notBegun = w->unitCount > w->unitsBegun ? w->unitCount - w->unitsBegun : 0;
    uint32_t here = routine == 0xCF && w->pausesSeen < C3_PASSES ? (C3_PASSES - w->pausesSeen) * pause : 0;
    uint32_t done = w->unitsBegun > 1 ? w->unitsBegun - 1 : 0;
    uint32_t extra = done && w->doneUnitsMs / done > perUnit ? w->doneUnitsMs / done - perUnit : 0;
    return (w->unitsBegun ? here : 0) + notBegun * (perUnit + extra);
}

static void Clock(char *out, size_t len, DWORD ms)
{
    DWORD s = (ms + 500) / 1000;
    snprintf(out, len, "%lu:%02lu", (unsigned long)(s / 60), (unsigned long)(s % 60));
}

void WatchPoll(RunWatch *w, int quiet, DWORD elapsedMs)
{
    ReadNew(w, elapsedMs);
    if (quiet)
        return;
    char line[256], drive[LOCATION_MAX] = "------", el[16], left[16], sub[4] = "";
    uint16_t ec = 0;
    if (w->unitsBegun == 0) {
        snprintf(line, sizeof line, "progress: starting Vestra.exe for %lu unit(s)", (unsigned long)w->unitCount);
    } else {
        if (!mtp_GetPdevLocation(w->drive, 0, drive, sizeof drive, &ec))
            snprintf(drive, sizeof drive, "------");
        drive[sizeof drive - 1] = '\0';
        if (w->subRoutine)
            snprintf(sub, sizeof sub, "/%02X", w->subRoutine);
        Clock(el, sizeof el, elapsedMs);
        Clock(left, sizeof left, EstimateLeftMs(w, w->routineRun));
        snprintf(line, sizeof line, "progress: unit %lu/%lu (%02X) %02X%s %s, elapsed %s, about %s left",
                 (unsigned long)w->unitsBegun, (unsigned long)w->unitCount, w->drive >> 8,
                 w->routineRun, sub, drive, el, left);
    }
    if (g_terminal) {
        /* One line narrower than the console, so that it never wraps. */
        CONSOLE_SCREEN_BUFFER_INFO ci;
        int width = GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &ci) && ci.dwSize.X > 1
                  ? ci.dwSize.X - 1 : int(LINE_WIDTH);
        fprintf(stderr, "\r%-*.*s", width, width, line);
        g_shown = 1;
    } else {
        /* Plain lines: one when the unit, routine or drive changes, not for the clock. */
        std::string key(line, strstr(line, ", elapsed") ? strstr(line, ", elapsed") - line : strlen(line));
        if (key != g_lastShown)
            fprintf(stderr, "%s\n", line);
        g_lastShown = key;
    }
    fflush(stderr);
}

void WatchEnd(int quiet)
{
    if (!quiet && g_terminal && g_shown)
        fputc('\n', stderr);
    fflush(stderr);
}
