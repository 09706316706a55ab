/* The launcher: starts Vestra.exe for an automatic run through a launch block, shows its
 * progress and prints each selected drive's result. Main thread, apart from the console's stop
 * handler. Usage in kUsage. */
#include "sim/launcher.h"
#include "svclib/mtpsvc.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char kUsage[] =
    "usage: Launcher.exe [--mode HH] [--routine HH] [--drives SPEC | --all] [--number HEX]\n"
    "                    [--timeout SECONDS] [--json] [--csv FILE] [--quiet]\n"
    "  SPEC: comma list of UNITS:ROWS, each a decimal number or range (0:0-11,1-3:0-7);\n"
    "        without --drives or --all: every equipped drive\n"
    "  --json: one JSON object on stdout (schema 1); --csv FILE: the per-drive table\n"
    "  --quiet: no progress on stderr\n"
    "exit status: 0 every selected drive passed; 1 at least one drive failed (wins over 2);\n"
    "             2 not every selected drive was tested (time-out, stop, program ended early);\n"
    "             3 usage or launch error (bad arguments, no equipped drive selected, mapping,\n"
    "               program missing)\n";

enum : DWORD { POLL_MS = 250, KILL_WAIT_MS = 5000, STOP_GRACE_MS = 500 };

static HANDLE g_stop;   /* set by Ctrl+C / Ctrl+Break */

/* Console stop: the run ends, its drives still reported. Handler thread. */
static BOOL WINAPI OnConsoleStop(DWORD kind)
{
    if (kind != CTRL_C_EVENT && kind != CTRL_BREAK_EVENT)
        return FALSE;
    SetEvent(g_stop);
    return TRUE;
}

/* "a" or "a-b" in decimal within 0..limit-1. */
static int ParseRange(const char *s, const char *end, uint32_t limit, uint32_t *lo, uint32_t *hi)
{
    char *stop = nullptr;
    unsigned long a = strtoul(s, &stop, 10);
    if (stop == s)
        return 0;
    unsigned long b = a;
    if (stop < end && *stop == '-') {
        const char *t = stop + 1;
        b = strtoul(t, &stop, 10);
        if (stop == t)
            return 0;
    }
    if (stop != end || a > b || b >= limit)
        return 0;
    *lo = uint32_t(a);
    *hi = uint32_t(b);
    return 1;
}

static int ParseDrives(const char *list, uint32_t *select)
{
    const char *p = list;
    while (*p) {
        const char *comma = strchr(p, ',');
        const char *end = comma ? comma : p + strlen(p);
        const char *colon = (const char *)memchr(p, ':', size_t(end - p));
        uint32_t u0, u1, r0, r1;
        if (!colon || !ParseRange(p, colon, LAUNCH_UNITS, &u0, &u1) ||
            !ParseRange(colon + 1, end, LAUNCH_ROWS, &r0, &r1))
            return 0;
        for (uint32_t u = u0; u <= u1; u++)
            for (uint32_t r = r0; r <= r1; r++)
                select[r] |= UnitBit(u);
        p = comma ? comma + 1 : end;
    }
    return 1;
}

static int Equipped(uint32_t u, uint32_t r)
{
    uint16_t state = 0, ec = 0;
    return GetPdevEquipStatus(uint16_t(u << 8 | r), 0, &state, &ec) && state == SVC_EQUIPPED;
}

/* The selection less the drives that are not equipped; 0 when nothing is left. */
static int KeepEquipped(const uint32_t *select, uint32_t *tested)
{
    int any = 0;
    for (uint32_t r = 0; r < LAUNCH_ROWS; r++) {
        tested[r] = 0;
        for (uint32_t u = 0; u < LAUNCH_UNITS; u++)
            if ((select[r] & UnitBit(u)) && Equipped(u, r))
                tested[r] |= UnitBit(u), any = 1;
    }
    return any;
}

static int ParseHexByte(const char *s, uint8_t *out)
{
    char *stop = nullptr;
    unsigned long v = strtoul(s, &stop, 16);
    if (stop == s || *stop || v > 0xFF)
        return 0;
    *out = uint8_t(v);
    return 1;
}

static int ParseArgs(int argc, char **argv, LaunchArgs *a)
{
    int drivesGiven = 0;
    a->number = GetCurrentProcessId();
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *val = i + 1 < argc ? argv[i + 1] : nullptr;
        int *flag = !strcmp(arg, "--json") ? &a->json : !strcmp(arg, "--quiet") ? &a->quiet : nullptr;
        if (flag) {
            *flag = 1;
            continue;
        }
        if (!strcmp(arg, "--all")) {
            a->all = drivesGiven = 1;
            continue;
        }
        if (!val)
            return 0;
        i++;
        char *stop = nullptr;
        if (!strcmp(arg, "--mode")) {
            if (!ParseHexByte(val, &a->mode))
                return 0;
        } else if (!strcmp(arg, "--routine")) {
            if (!ParseHexByte(val, &a->routine))
                return 0;
        } else if (!strcmp(arg, "--drives")) {
            if (!ParseDrives(val, a->select))
                return 0;
            drivesGiven = 1;
        } else if (!strcmp(arg, "--number")) {
            a->number = strtoul(val, &stop, 16);
            if (stop == val || *stop)
                return 0;
        } else if (!strcmp(arg, "--timeout")) {
            unsigned long s = strtoul(val, &stop, 10);
            if (stop == val || *stop || s == 0 || s > 86400)
                return 0;
            a->timeoutMs = DWORD(s * 1000);
        } else if (!strcmp(arg, "--csv")) {
            a->csv = val;
        } else {
            return 0;
        }
    }
    if (!drivesGiven)
        a->all = 1;
    if (a->all)
        memset(a->select, 0xFF, sizeof a->select);
    return 1;
}

static int Fail(const char *what, const char *name)
{
    fprintf(stderr, "launcher: %s %s (%lu)\n", what, name, GetLastError());
    return EXIT_USAGE;
}

/* Diagnosis log of the simulator: MTP_DIAG_LOG, else the suite's default. */
static void DiagLogPath(char *path, DWORD len)
{
    DWORD n = GetEnvironmentVariableA("MTP_DIAG_LOG", path, len);
    if (n == 0 || n >= len)
        snprintf(path, len, "c:\\trn600\\log\\diaglog.txt");
}

static long FileEnd(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA fa;
    return GetFileAttributesExA(path, GetFileExInfoStandard, &fa) ? long(fa.nFileSizeLow) : 0;
}

/* Runs the program until it ends, the time-out passes or the user stops; sets run->how for the
 * last two (after ending the program). */
static void Supervise(RunInfo *run, const PROCESS_INFORMATION &pi)
{
    DWORD t0 = GetTickCount();
    HANDLE waits[2] = { pi.hProcess, g_stop };
    for (;;) {
        DWORD elapsed = GetTickCount() - t0;
        WatchPoll(&run->watch, run->args.quiet, elapsed);
        DWORD left = run->args.timeoutMs == INFINITE ? POLL_MS
                   : elapsed >= run->args.timeoutMs ? 0 : run->args.timeoutMs - elapsed;
        DWORD r = WaitForMultipleObjects(2, waits, FALSE, left < POLL_MS ? left : POLL_MS);
        if (r == WAIT_OBJECT_0)
            break;
        int stopped = r == WAIT_OBJECT_0 + 1, late = left == 0;
        if (stopped || late) {
            run->how = stopped ? END_USER_STOP : END_TIME_OUT;
            TerminateProcess(pi.hProcess, 255);
            WaitForSingleObject(pi.hProcess, KILL_WAIT_MS);
            break;
        }
    }
    /* Ctrl+C on a terminal reaches the program too, which may end first: a run that ended
     * without its outcome and a stop that comes with it (bounded) is the user's stop. */
    if (run->how == END_COMPLETED && run->lb[LB_END_STATUS] == LB_END_STATUS_UNSET &&
        WaitForSingleObject(g_stop, STOP_GRACE_MS) == WAIT_OBJECT_0)
        run->how = END_USER_STOP;
    WatchPoll(&run->watch, run->args.quiet, GetTickCount() - t0);
    WatchEnd(run->args.quiet);
    run->elapsedS = (GetTickCount() - t0) / 1000.0;
}

int main(int argc, char **argv)
{
    static RunInfo run;
    LaunchArgs &a = run.args;
    if (!ParseArgs(argc, argv, &a)) {
        fputs(kUsage, stderr);
        return EXIT_USAGE;
    }
    if (!KeepEquipped(a.select, run.tested)) {
        fputs("launcher: no equipped drive in the selection\n", stderr);
        return EXIT_USAGE;
    }
    /* Every equipped drive: those that are not were never asked for. */
    if (a.all)
        memcpy(a.select, run.tested, sizeof a.select);
    char name[32], exe[MAX_PATH], cmd[MAX_PATH + 32], diagLog[MAX_PATH];
    snprintf(name, sizeof name, LB_NAME_FMT, a.number);
    DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    char *slash = strrchr(exe, '\\');
    if (n == 0 || n >= MAX_PATH || !slash)
        return Fail("cannot find its own folder", "");
    snprintf(slash + 1, size_t(exe + MAX_PATH - slash - 1), "Vestra.exe");
    if (GetFileAttributesA(exe) == INVALID_FILE_ATTRIBUTES)
        return Fail("program missing:", exe);
    HANDLE map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, LB_LAUNCHER_SIZE, name);
    if (!map)
        return Fail("cannot create", name);
    uint8_t *lb = (uint8_t *)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (!lb) {
        CloseHandle(map);
        return Fail("cannot map", name);
    }
    memset(lb, 0, LB_LAUNCHER_SIZE);
    lb[LB_LAUNCH_MODE] = a.mode;
    lb[LB_ROUTINE] = a.routine;
    lb[LB_END_STATUS] = LB_END_STATUS_UNSET;
    LaunchPutSelect(lb, run.tested);
    run.lb = lb;

    snprintf(cmd, sizeof cmd, "\"%s\" %lx", exe, a.number);
    DiagLogPath(diagLog, sizeof diagLog);
    long logFrom = FileEnd(diagLog);
    g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleStop, TRUE);
    STARTUPINFOA si = { sizeof si };
    PROCESS_INFORMATION pi = {};
    GetLocalTime(&run.start);
    if (!CreateProcessA(exe, cmd, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi)) {
        int rc = Fail("cannot start", exe);
        UnmapViewOfFile(lb);
        CloseHandle(map);
        return rc;
    }
    WatchBegin(&run.watch, run.tested, a.routine, pi.dwProcessId);
    ResumeThread(pi.hThread);
    Supervise(&run, pi);
    GetLocalTime(&run.end);
    GetExitCodeProcess(pi.hProcess, &run.programExit);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    HMODULE program = LoadLibraryExA(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    JudgeRun(&run, diagLog, logFrom, program);
    if (program)
        FreeLibrary(program);
    if (a.json)
        PrintJson(&run);
    else
        PrintTable(&run);
    if (a.csv && !WriteCsv(&run, a.csv)) {
        fprintf(stderr, "launcher: cannot write %s\n", a.csv);
        run.exitCode = EXIT_USAGE;
    }
    UnmapViewOfFile(lb);
    CloseHandle(map);
    return run.exitCode;
}
