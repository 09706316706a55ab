/* Time of an automatic CF run of Vestra.exe over 4 units x 16 healthy drives against the
 * controller and diagnosis log simulators, real time (no time divisor), over its floor: the two
 * 10-second pauses per unit of routine C3, plus the simulator's spin-up after each START UNIT
 * (START UNIT answers once the drives are up, so that time is spent after the pause). Also
 * counts the drive commands that reach the controller per unit.
 * Usage: bench_cf [spin-up-ms] (default 0); run it in a prefix of its own (scripts/winerun.sh). */
#include "base/launch.h"
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

enum : uint32_t { UNITS = 4, DRIVES = 16, PAUSES_PER_UNIT = 2, PAUSE_MS = 10000,
                  STARTS_PER_UNIT = 2, WAIT_MS = 30000, RUN_LIMIT_MS = 600000 };

static std::string g_bin, g_dir;

static HANDLE Start(const std::string &exe, const std::string &args)
{
    std::string cmd = "\"" + g_bin + exe + "\" " + args;
    STARTUPINFOA si = { sizeof si };
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

/* Starts a simulator and waits until its receive thread runs. */
static HANDLE StartSim(const char *exe, const char *ap)
{
    char name[64];
    snprintf(name, sizeof name, "Global\\MTP_EVENT_%s_RECV", ap);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, name);
    HANDLE p = Start(exe, "--lifetime 900");
    HANDLE waits[2] = { ready, p };
    DWORD w = p ? WaitForMultipleObjects(2, waits, FALSE, WAIT_MS) : WAIT_FAILED;
    CloseHandle(ready);
    return w == WAIT_OBJECT_0 ? p : nullptr;
}

static void QuitSim(HANDLE p, const char *ap)
{
    char name[64];
    snprintf(name, sizeof name, "Global\\MTP_SIM_%s_QUIT", ap);
    HANDLE quit = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
    if (quit) {
        SetEvent(quit);
        CloseHandle(quit);
    }
    if (p) {
        WaitForSingleObject(p, WAIT_MS);
        CloseHandle(p);
    }
}

/* Lines of the trace log that contain text. */
static unsigned CountLines(const std::string &path, const char *text)
{
    FILE *f = fopen(path.c_str(), "rb");
    unsigned n = 0;
    char line[1024];
    while (f && fgets(line, sizeof line, f))
        n += strstr(line, text) != nullptr;
    if (f)
        fclose(f);
    return n;
}

int main(int argc, char **argv)
{
    unsigned spinUpMs = argc > 1 ? unsigned(strtoul(argv[1], nullptr, 10)) : 0;
    char self[MAX_PATH], tmp[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    g_bin = self;
    g_bin = g_bin.substr(0, g_bin.find_last_of("\\/") + 1);
    GetTempPathA(MAX_PATH, tmp);
    g_dir = std::string(tmp) + "bench_cf\\";
    CreateDirectoryA(g_dir.c_str(), nullptr);

    /* DKU 0, boxes 0 to 3 = units 0 to 3, positions 0 to 15 equipped, no faults. */
    std::string desc = "[Subsystem]\r\nMessageBox=trace\r\n[Sim]\r\nSpinUpMs=" + std::to_string(spinUpMs) + "\r\n";
    for (uint32_t b = 0; b < UNITS; b++)
        desc += "[Box.0." + std::to_string(b) + "]\r\nEquip=1\r\nDrives=0-15\r\n";
    FILE *f = fopen((g_dir + "subsys.ini").c_str(), "wb");
    if (!f || fwrite(desc.data(), 1, desc.size(), f) != desc.size()) {
        fprintf(stderr, "bench_cf: cannot write the description\n");
        return 1;
    }
    fclose(f);
    std::string trace = g_dir + "trace.log";
    DeleteFileA(trace.c_str());
    SetEnvironmentVariableA("MTP_SUBSYSTEM_INI", (g_dir + "subsys.ini").c_str());
    SetEnvironmentVariableA("MTP_TRACE_LOG", trace.c_str());
    SetEnvironmentVariableA("MTP_DIAG_LOG", (g_dir + "diaglog.txt").c_str());
    SetEnvironmentVariableA("MTP_TIME_DIVISOR", "1");

    HANDLE dkc = StartSim("DkcSim.exe", "09"), log = StartSim("DiagLogSim.exe", "05");
    if (!dkc || !log) {
        fprintf(stderr, "bench_cf: simulators did not start\n");
        QuitSim(dkc, "09");
        QuitSim(log, "05");
        return 1;
    }
    char name[32];
    unsigned long number = GetCurrentProcessId();
    snprintf(name, sizeof name, LB_NAME_FMT, number);
    HANDLE map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, LB_LAUNCHER_SIZE, name);
    uint8_t *lb = map ? (uint8_t *)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr;
    if (!lb) {
        fprintf(stderr, "bench_cf: no launch block\n");
        return 1;
    }
    memset(lb, 0, LB_LAUNCHER_SIZE);
    lb[LB_LAUNCH_MODE] = LAUNCH_AUTOMATIC;
    lb[LB_ROUTINE] = 0xCF;
    lb[LB_END_STATUS] = LB_END_STATUS_UNSET;
    uint32_t select[ROW_COUNT] = {};
    for (uint32_t r = 0; r < DRIVES; r++)
        for (uint32_t u = 0; u < UNITS; u++)
            select[r] |= UnitBit(u);
    LaunchPutSelect(lb, select);

    char arg[32];
    snprintf(arg, sizeof arg, "%lx", number);
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t0);
    HANDLE p = Start("Vestra.exe", arg);
    DWORD w = p ? WaitForSingleObject(p, RUN_LIMIT_MS) : WAIT_FAILED;
    QueryPerformanceCounter(&t1);
    if (p)
        CloseHandle(p);
    QuitSim(dkc, "09");
    QuitSim(log, "05");
    if (w != WAIT_OBJECT_0 || lb[LB_END_STATUS] != 0) {
        fprintf(stderr, "bench_cf: the run did not end normally\n");
        return 1;
    }
    double ms = double(t1.QuadPart - t0.QuadPart) * 1000.0 / double(freq.QuadPart);
    double floorMs = double(UNITS) * (PAUSES_PER_UNIT * PAUSE_MS + STARTS_PER_UNIT * spinUpMs);
    unsigned pass = CountLines(trace, "DkcSim REQ from=0D FC=83");
    unsigned path = CountLines(trace, "DkcSim REQ from=0D FC=89");
    unsigned reports = CountLines(trace, "DiagLogSim REQ");
    printf("CF over %u units x %u drives, spin-up %u ms: %.0f ms, floor %.0f ms, ratio %.3f (limit 1.10)\n",
           UNITS, DRIVES, spinUpMs, ms, floorMs, ms / floorMs);
    printf("drive commands per unit: %.1f multi-drive (CF counts 16), %.1f framing; error reports %u; "
           "error flag %02X\n", double(pass) / double(UNITS), double(path) / double(UNITS), reports, lb[LB_ERROR_FLAG]);
    UnmapViewOfFile(lb);
    CloseHandle(map);
    return ms / floorMs <= 1.10 ? 0 : 2;
}
