/* The launcher: starts Vestra.exe for an automatic run through a launch block and prints the
 * outcome. Usage:
 *   Launcher.exe [--mode HH] [--routine HH] [--drives SPEC | --all] [--number HEX]
 *                [--timeout SECONDS] [--json]
 * SPEC: comma list of UNITS:ROWS, each a decimal number or range (e.g. 0:0-11,1-3:0-7).
 * --all selects every drive that the subsystem description reports equipped.
 * The table shows each selected drive with its error code and text: the code comes from the
 * diagnosis log lines written during the run (MTP_DIAG_LOG, else c:\trn600\log\diaglog.txt),
 * the text from Vestra.exe's own string table.
 * Exit code: 0 no drive failed, 1 drives failed, 2 no outcome, 3 usage. */
#include "base/launch.h"
#include "svclib/mtpsvc.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum : size_t { LB_SIZE = 1024 };
enum : uint32_t { UNITS = UNIT_COUNT, ROWS = ROW_COUNT };
enum : uint16_t { COMMON_TEXT_BASE = 0xEC00 };
enum : uint8_t { COMMON_STEP_FIRST = 0xE0, COMMON_STEP_LAST = 0xEF };
enum : size_t { LOG_LINE_MAX = 1024, TEXT_MAX = 128 };
static const char kDefaultDiagLog[] = "c:\\trn600\\log\\diaglog.txt";
enum : uint8_t { END_STATUS_UNSET = 0xEE };

struct LaunchArgs {
    uint8_t  mode = 0xFF;
    uint8_t  routine = 0xCF;
    uint32_t select[ROWS] = {};
    unsigned long number = 0;
    DWORD    timeoutMs = INFINITE;
    int      json = 0;
};


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

static int ParseDrives(const char *spec, uint32_t *select)
{
    const char *p = spec;
    while (*p) {
        const char *comma = strchr(p, ',');
        const char *end = comma ? comma : p + strlen(p);
        const char *colon = (const char *)memchr(p, ':', size_t(end - p));
        uint32_t u0, u1, r0, r1;
        if (!colon || !ParseRange(p, colon, UNITS, &u0, &u1) || !ParseRange(colon + 1, end, ROWS, &r0, &r1))
            return 0;
        for (uint32_t u = u0; u <= u1; u++)
            for (uint32_t r = r0; r <= r1; r++)
                select[r] |= 0x80000000u >> u;
        p = comma ? comma + 1 : end;
    }
    return 1;
}

static void SelectAllEquipped(uint32_t *select)
{
    for (uint32_t u = 0; u < UNITS; u++) {
        for (uint32_t r = 0; r < ROWS; r++) {
            uint16_t state = 0, ec = 0;
            if (GetPdevEquipStatus(uint16_t(u << 8 | r), 0, &state, &ec) && state == SVC_EQUIPPED)
                select[r] |= 0x80000000u >> u;
        }
    }
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
        if (!strcmp(arg, "--json")) {
            a->json = 1;
            continue;
        }
        if (!strcmp(arg, "--all")) {
            SelectAllEquipped(a->select);
            drivesGiven = 1;
            continue;
        }
        if (!val)
            return 0;
        i++;
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
            char *stop = nullptr;
            a->number = strtoul(val, &stop, 16);
            if (stop == val || *stop)
                return 0;
        } else if (!strcmp(arg, "--timeout")) {
            a->timeoutMs = DWORD(strtoul(val, nullptr, 10) * 1000);
        } else {
            return 0;
        }
    }
    if (!drivesGiven)
        SelectAllEquipped(a->select);
    return 1;
}


/* ---- error codes from the diagnosis log ---- */

/* Path of the diagnosis log that DiagLogSim writes. */
static void DiagLogPath(char *path, DWORD len)
{
    DWORD n = GetEnvironmentVariableA("MTP_DIAG_LOG", path, len);
    if (n == 0 || n >= len)
        snprintf(path, len, "%s", kDefaultDiagLog);
}

/* Current size of a file, 0 when it is absent. */
static long FileEnd(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return 0;
    fseek(f, 0, SEEK_END);
    long end = ftell(f);
    fclose(f);
    return end < 0 ? 0 : end;
}

/* Four hex digits right after key in line; 0 when they are not there. */
static int HexAfter(const char *line, const char *key, uint16_t *out)
{
    const char *at = strstr(line, key);
    if (!at)
        return 0;
    at += strlen(key);
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) {
        char c = at[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10
              : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0)
            return 0;
        v = v << 4 | uint32_t(d);
    }
    *out = uint16_t(v);
    return 1;
}

/* The error code of each drive reported since offset `from` of the log (the last report of a
 * drive wins). The log is another program's file: lines that do not read are skipped. */
static void ReadReportedCodes(const char *path, long from, uint16_t codes[UNITS][ROWS])
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return;
    if (fseek(f, from, SEEK_SET) != 0) {
        fclose(f);
        return;
    }
    char line[LOG_LINE_MAX];
    while (fgets(line, sizeof line, f)) {
        uint16_t cr = 0, code = 0;
        if (!HexAfter(line, "CR#=", &cr) || !HexAfter(line, "ErrorCode=", &code))
            continue;
        uint32_t u = cr >> 8, r = cr & 0xFF;
        if (u < UNITS && r < ROWS && code != 0)
            codes[u][r] = code;
    }
    fclose(f);
}

/* Text of an error code from the program's string table (the common steps share 0xEC00 | step);
 * " " when it has none. */
static void ErrorText(HMODULE program, uint16_t code, char *text, int len)
{
    uint8_t step = uint8_t(code);
    UINT id = step >= COMMON_STEP_FIRST && step <= COMMON_STEP_LAST ? COMMON_TEXT_BASE | step : code;
    if (!program || LoadStringA(program, id, text, len) <= 0)
        snprintf(text, size_t(len), " ");
}

static void PrintTable(const uint8_t *lb, const uint32_t *select, uint16_t codes[UNITS][ROWS],
                       HMODULE program)
{
    printf("%-16s %-6s %-4s %-6s %s\n", "HDD", "Result", "PDEV", "Code", "Contents");
    for (uint32_t u = 0; u < UNITS; u++) {
        for (uint32_t r = 0; r < ROWS; r++) {
            uint32_t bit = 0x80000000u >> u;
            if (!(select[r] & bit))
                continue;
            char name[SVC_LOCATION_LEN] = "------";
            uint16_t ec = 0;
            if (!mtp_GetPdevLocation(uint16_t(u << 8 | r), 0, name, sizeof name, &ec))
                strcpy(name, "------");
            name[sizeof name - 1] = '\0';
            int failed = (GetLe32(lb + LB_DRIVE_ERROR + 4 * r) & bit) != 0;
            if (!failed) {
                printf("%-16s %-6s %02X%02X\n", name, "pass", u, r);
                continue;
            }
            /* A time-out is reported once for the first drive and recorded for all: a failing
             * drive without a report of its own gets the run's last error, marked '*'. */
            uint16_t code = codes[u][r];
            char mark = ' ';
            if (code == 0) {
                code = uint16_t(lb[LB_ERROR_ROUTINE] << 8 | lb[LB_ERROR_STEP]);
                mark = '*';
            }
            char text[TEXT_MAX];
            ErrorText(program, code, text, sizeof text);
            printf("%-16s %-6s %02X%02X %04X%c  %s\n", name, "FAIL", u, r, code, mark, text);
        }
    }
    printf("Last error: routine %02X step %02X detail", lb[LB_ERROR_ROUTINE], lb[LB_ERROR_STEP]);
    for (size_t i = 0; i < LB_DETAIL_LEN; i++)
        printf(" %02X", lb[LB_ERROR_DETAIL + i]);
    printf("\nEnd status %02X, error flag %02X\n", lb[LB_END_STATUS], lb[LB_ERROR_FLAG]);
}

static void PrintJson(const uint8_t *lb, DWORD exitCode)
{
    printf("{\"exitCode\":%lu,\"launchMode\":%u,\"requestedRoutine\":%u,\"endStatus\":%u,"
           "\"errorFlag\":%u,\"errorRoutine\":%u,\"errorStep\":%u,\"errorDetail\":[",
           (unsigned long)exitCode, lb[LB_LAUNCH_MODE], lb[LB_ROUTINE], lb[LB_END_STATUS],
           lb[LB_ERROR_FLAG], lb[LB_ERROR_ROUTINE], lb[LB_ERROR_STEP]);
    for (size_t i = 0; i < LB_DETAIL_LEN; i++)
        printf("%s%u", i ? "," : "", lb[LB_ERROR_DETAIL + i]);
    printf("],\"driveError\":[");
    for (uint32_t r = 0; r < ROWS; r++)
        printf("%s%lu", r ? "," : "", (unsigned long)GetLe32(lb + LB_DRIVE_ERROR + 4 * r));
    printf("]}\n");
}

int main(int argc, char **argv)
{
    static LaunchArgs a;
    if (!ParseArgs(argc, argv, &a)) {
        fprintf(stderr, "usage: Launcher.exe [--mode HH] [--routine HH] [--drives U:R,...|--all] "
                        "[--number HEX] [--timeout S] [--json]\n");
        return 3;
    }
    char name[32], exe[MAX_PATH], cmd[MAX_PATH + 32];
    snprintf(name, sizeof name, "DIAGAPI%08lx", a.number);
    HANDLE map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, LB_SIZE, name);
    if (!map) {
        fprintf(stderr, "launcher: cannot create %s (%lu)\n", name, GetLastError());
        return 2;
    }
    uint8_t *lb = (uint8_t *)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (!lb) {
        fprintf(stderr, "launcher: cannot map %s (%lu)\n", name, GetLastError());
        CloseHandle(map);
        return 2;
    }
    memset(lb, 0, LB_SIZE);
    lb[LB_LAUNCH_MODE] = a.mode;
    lb[LB_ROUTINE] = a.routine;
    lb[LB_END_STATUS] = END_STATUS_UNSET;
    LaunchPutSelect(lb, a.select);

    DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    char *slash = strrchr(exe, '\\');
    if (n == 0 || !slash) {
        fprintf(stderr, "launcher: cannot find its own folder\n");
        return 2;
    }
    snprintf(slash + 1, size_t(exe + MAX_PATH - slash - 1), "Vestra.exe");
    snprintf(cmd, sizeof cmd, "\"%s\" %lx", exe, a.number);
    static uint16_t codes[UNITS][ROWS];
    char diagLog[MAX_PATH];
    DiagLogPath(diagLog, sizeof diagLog);
    long logFrom = FileEnd(diagLog);
    STARTUPINFOA si = { sizeof si };
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(exe, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        fprintf(stderr, "launcher: cannot start %s (%lu)\n", exe, GetLastError());
        return 2;
    }
    DWORD exitCode = 0;
    if (WaitForSingleObject(pi.hProcess, a.timeoutMs) != WAIT_OBJECT_0) {
        fprintf(stderr, "launcher: Vestra.exe did not end in time\n");
        TerminateProcess(pi.hProcess, 255);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    GetExitCodeProcess(pi.hProcess, &exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    if (a.json) {
        PrintJson(lb, exitCode);
    } else {
        ReadReportedCodes(diagLog, logFrom, codes);
        HMODULE program = LoadLibraryExA(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        PrintTable(lb, a.select, codes, program);
        if (program)
            FreeLibrary(program);
    }
    int rc = lb[LB_END_STATUS] == END_STATUS_UNSET ? 2 : lb[LB_ERROR_FLAG] == 0xFF ? 1 : 0;
    UnmapViewOfFile(lb);
    CloseHandle(map);
    return rc;
}
