/* Cost of one pass-through drive command (request and its 75 040-byte reply in segments of
 * 1, 4 and 16 KiB) from the transport to the controller simulator and back, against
 * (1 + reply segments) bare handshakes measured side by side in the same run. Every trace line,
 * the communication trace and the history records are written as in a real run. Beside it, what
 * one reply segment writes on its own: a communication-trace line (the receiver's) and a history
 * record (the sender's), each timed alone in this process.
 * Usage: bench_cmd [rounds [commands]]; run it in a prefix of its own (scripts/winerun.sh). */
#include "drivecmd/drivecmd.h"
#include "cmlb/cmlb.h"
#include "bench/floor.h"
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <string.h>


enum : uint32_t { ROUNDS = 5, COMMANDS = 20, FLOOR_LEN = 1064, WARM_UP = 3 };
static_assert(FLOOR_LEN <= 16384, "floor message fits the data");
#define STOP_EVENT "Global\\vestra_bench_cmd_stop"

static std::string BinFile(const char *name)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string s(self);
    return s.substr(0, s.find_last_of("\\/") + 1) + name;
}

static HANDLE Start(const std::string &exe, const char *args)
{
    std::string cmd = "\"" + exe + "\" " + args;
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessA(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

/* Waits for an AP's receive thread (its RECV event). */
static bool Ready(const char *ap, HANDLE process)
{
    char n[IW_NAME_LEN];
    IwFormatName(n, IW_FMT_RECV, ap);
    HANDLE e = IwCreateEvent(TRUE, FALSE, n);
    HANDLE waits[2] = { e, process };
    bool ok = WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
    CloseHandle(e);
    return ok;
}

static HANDLE StartController(uint32_t segSize)
{
    char dir[MAX_PATH], path[MAX_PATH + 32], text[128];
    GetTempPathA(MAX_PATH, dir);
    snprintf(path, sizeof path, "%sbench_cmd_%u.ini", dir, segSize);
    snprintf(text, sizeof text, "[Subsystem]\r\nMessageBox=trace\r\n[Sim]\r\nSegmentSize=%u\r\n", segSize);
    FILE *f = fopen(path, "wb");
    if (!f)
        return nullptr;
    fputs(text, f);
    fclose(f);
    SetEnvironmentVariableA("MTP_SUBSYSTEM_INI", path);
    HANDLE p = Start(BinFile("DkcSim.exe"), "--lifetime 600");
    return p && Ready(IW_APID_09, p) ? p : nullptr;
}

static void StopController(HANDLE p)
{
    HANDLE quit = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\MTP_SIM_09_QUIT");
    if (quit) {
        SetEvent(quit);
        CloseHandle(quit);
    }
    WaitForSingleObject(p, 30000);
    CloseHandle(p);
}

static const uint32_t kRows[3] = { 0xFFF00000, 0, 0 };   /* rows 0..11 */

static double TimeCommand()
{
    DriveResult r;
    double t0 = NowUs();
    return CmdTestUnitReady(0x80, 0, kRows, COM_TIMEOUT_S, &r) && r.rows[0].valid ? NowUs() - t0 : -1;
}

static double TimeFloor(const uint8_t *data, uint32_t messages)
{
    double t0 = NowUs();
    for (uint32_t i = 0; i < messages; i++)
        if (FloorSend(data, FLOOR_LEN) != 0)
            return -1;
    return NowUs() - t0;
}

/* One communication-trace line as the receive handler writes it for every reply segment. */
static double TimeTraceLine()
{
    double t0 = NowUs();
    CMTrace(CMT_LINE_QUIET, "%s,Not Hit", "RecvDKC");
    return NowUs() - t0;
}

/* One history record of a reply segment of len bytes. */
static double TimeHistory(const uint8_t *data, uint32_t len)
{
    BitmapMP target;
    memset(&target, 0xFF, sizeof target);
    double t0 = NowUs();
    return HistTrn(&target, FC_PASS, data, len) == 0 ? NowUs() - t0 : -1;
}

static int Peer()
{
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, STOP_EVENT);
    HANDLE floor = CreateThread(nullptr, 0, FloorReceiver, stop, 0, nullptr);
    WaitForSingleObject(stop, INFINITE);
    WaitForSingleObject(floor, 10000);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "peer") == 0)
        return Peer();
    uint32_t rounds = argc > 1 ? uint32_t(atoi(argv[1])) : ROUNDS;
    uint32_t count = argc > 2 ? uint32_t(atoi(argv[2])) : COMMANDS;
    if (rounds < 1 || count < 1)
        return 2;
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, STOP_EVENT);
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    HANDLE peer = Start(self, "peer");
    char n[IW_NAME_LEN];
    IwFormatName(n, IW_FMT_RECV, FLOOR_AP);
    HANDLE floorReady = CreateEventA(nullptr, TRUE, FALSE, n);
    if (!peer || WaitForSingleObject(floorReady, 30000) != WAIT_OBJECT_0) {
        fprintf(stderr, "bench_cmd: peer not ready\n");
        return 3;
    }
    ConfigureDriveCommands(DcConfig{ GetModuleHandleA(nullptr), nullptr, DISPLAY_AUTOMATIC });
    if (!OpenCommunication()) {
        fprintf(stderr, "bench_cmd: communication not opened\n");
        return 4;
    }
    static uint8_t data[16384];
    int rc = 0;
    printf("segment  messages  command(us)  floor x messages(us)  ratio   per message(us): command  floor  trace line  history  bound\n");
    for (uint32_t segSize : { 1024u, 4096u, 16384u }) {
        uint32_t messages = 1 + (R83_LEN + segSize - 1) / segSize;
        HANDLE ctl = StartController(segSize);
        if (!ctl) {
            fprintf(stderr, "bench_cmd: controller simulator not ready\n");
            rc = 5;
            break;
        }
        for (uint32_t i = 0; i < WARM_UP; i++)
            if (TimeCommand() < 0 || TimeFloor(data, messages) < 0)
                rc = 6;
        std::vector<double> cmd, floor, line, hist;
        for (uint32_t r = 0; r < rounds && rc == 0; r++) {
            for (uint32_t i = 0; i < count && rc == 0; i++) {
                /* Alternate the order, so that both see the same machine. */
                double a, b;
                if ((i + r) % 2) {
                    a = TimeCommand();
                    b = TimeFloor(data, messages);
                } else {
                    b = TimeFloor(data, messages);
                    a = TimeCommand();
                }
                if (a < 0 || b < 0)
                    rc = 6;
                cmd.push_back(a);
                floor.push_back(b);
                line.push_back(TimeTraceLine());
                hist.push_back(TimeHistory(data, segSize));
                if (hist.back() < 0)
                    rc = 6;
            }
        }
        StopController(ctl);
        if (rc != 0) {
            fprintf(stderr, "bench_cmd: a command or handshake failed\n");
            break;
        }
        /* bound: the ratio that a segment's handshake, trace line and history record give alone. */
        double perFloor = Median(floor) / messages;
        printf("%6u  %8u  %11.0f  %20.0f  %5.2f  %24.0f  %5.0f  %10.0f  %7.0f  %5.2f\n", segSize, messages,
               Median(cmd), Median(floor), Median(cmd) / Median(floor), Median(cmd) / messages,
               perFloor, Median(line), Median(hist), (perFloor + Median(line) + Median(hist)) / perFloor);
    }
    CloseCommunication();
    SetEvent(stop);
    WaitForSingleObject(peer, 30000);
    return rc;
}
