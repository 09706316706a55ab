/* Cost of one message between two processes, side by side in one run:
 *   floor: a bare handshake over the same kinds of objects (SEND mutex, RECV, SEND and RECV_OK
 *          events, a named mapping of the message's size, the receiver's heap copy), no trace
 *          and no history;
 *   layer: mtp2_iwtrn_300 with 1064 data bytes to a real receive thread, with its trace lines
 *          and its history record.
 * Usage: bench_iw [rounds [messages]]. The two kinds of message alternate one by one; every
 * message is timed, and the medians of all of them are printed with their ratio. Run it in a prefix of its own
 * (scripts/winerun.sh): it fills the history ring and appends to the trace log. */
#include "iw/iw.h"
#include "bench/floor.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <vector>

enum : uint32_t { DATA_LEN = 1064, ROUNDS = 9, MESSAGES = 200, WAIT_MS = 10000 };
#define LAYER_AP IW_APID_09          /* route 0 goes there, with its history record */
#define OWN_AP   "0D"
#define STOP_EVENT "Global\\vestra_bench_iw_stop"

static void Name(char *out, const char *fmt, const char *ap) { IwFormatName(out, fmt, ap); }

/* ---- the two processes ---- */

/* The peer: a real receive thread for LAYER_AP and the bare receiver for FLOOR_AP. */
static int Peer()
{
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, STOP_EVENT);
    HANDLE floor = CreateThread(nullptr, 0, FloorReceiver, stop, 0, nullptr);
    if (mtp1_iwini(0, 0, LAYER_AP) != 0)
        return 1;
    WaitForSingleObject(stop, INFINITE);
    iwend();
    WaitForSingleObject(floor, WAIT_MS);
    return 0;
}

/* Waits until ap's RECV is signalled. The layer's events carry the World descriptor, which
 * refuses a plain full-access creation; the floor's carry the default one. */
static bool WaitSignalled(const char *ap, int layer)
{
    char n[IW_NAME_LEN];
    Name(n, IW_FMT_RECV, ap);
    HANDLE e = layer ? IwCreateEvent(TRUE, FALSE, n) : CreateEventA(nullptr, TRUE, FALSE, n);
    bool ok = WaitForSingleObject(e, 30000) == WAIT_OBJECT_0;
    CloseHandle(e);
    return ok;
}


/* Microseconds of one message each way; negative when the transfer failed. */
static double TimeFloor(const uint8_t *data)
{
    double t0 = NowUs();
    return FloorSend(data, DATA_LEN) == 0 ? NowUs() - t0 : -1;
}

static double TimeLayer(const uint8_t *data)
{
    double t0 = NowUs();
    int32_t r = mtp2_iwtrn_300(0, 0x0001, 0x0002, 0x0040, nullptr, 0, data, DATA_LEN);
    return r == 0 ? NowUs() - t0 : -1;
}


int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "peer") == 0)
        return Peer();
    uint32_t rounds = argc > 1 ? uint32_t(atoi(argv[1])) : ROUNDS;
    uint32_t count = argc > 2 ? uint32_t(atoi(argv[2])) : MESSAGES;
    if (rounds < 1 || count < 1)
        return 2;

    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, STOP_EVENT);
    char self[MAX_PATH], cmd[MAX_PATH + 16];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    snprintf(cmd, sizeof cmd, "\"%s\" peer", self);
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessA(self, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 3;
    if (!WaitSignalled(FLOOR_AP, 0) || !WaitSignalled(LAYER_AP, 1)) {
        fprintf(stderr, "bench_iw: peer not ready\n");
        return 4;
    }
    mtp1_iwini(0, 0, OWN_AP);

    static uint8_t data[DATA_LEN];
    for (uint32_t i = 0; i < DATA_LEN; i++)
        data[i] = uint8_t(i);
    /* Warm both paths up; the layer's run also fills the history ring, so that records are
     * written into a full file as on a machine that has been running for a while. */
    for (uint32_t i = 0; i < HIST_RECORDS; i++)
        if (TimeFloor(data) < 0 || TimeLayer(data) < 0)
            return 5;
    /* The machine's pace drifts by a factor of several within seconds: the two kinds of
     * message alternate one by one, so that both see the same machine. */
    std::vector<double> floorUs, layerUs;
    int rc = 0;
    for (uint32_t r = 0; r < rounds && rc == 0; r++) {
        std::vector<double> fa, lb;
        for (uint32_t i = 0; i < count && rc == 0; i++) {
            double a, b;
            if ((i + r) % 2) {
                a = TimeFloor(data);
                b = TimeLayer(data);
            } else {
                b = TimeLayer(data);
                a = TimeFloor(data);
            }
            if (a < 0 || b < 0)
                rc = 5;
            fa.push_back(a);
            lb.push_back(b);
        }
        if (rc != 0) {
            fprintf(stderr, "bench_iw: a transfer failed in round %u\n", r + 1);
            break;
        }
        floorUs.insert(floorUs.end(), fa.begin(), fa.end());
        layerUs.insert(layerUs.end(), lb.begin(), lb.end());
        printf("round %u: floor %.1f us  mtp2_iwtrn_300 %.1f us  ratio %.2f\n", r + 1, Median(fa),
               Median(lb), Median(lb) / Median(fa));
    }
    iwend();
    SetEvent(stop);
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    if (rc != 0)
        return rc;
    double a = Median(floorUs), b = Median(layerUs);
    printf("%u x %u messages each way, %u data bytes, medians of single messages\n", rounds,
           count, unsigned(DATA_LEN));
    printf("median floor          %.1f us/message\n", a);
    printf("median mtp2_iwtrn_300 %.1f us/message\n", b);
    printf("ratio                 %.2f\n", b / a);
    return 0;
}
