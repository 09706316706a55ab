/* DiagLogSim.exe: the suite's diagnosis log application (AP "05") as a simulator. It takes error
 * reports (AP messages), appends one decoded line per report to the diagnosis log file and one
 * line in words to the readable log beside it (diaglog.txt: diaglog-readable.txt), and
 * acknowledges each to its sender, unless the description delays, withholds or spoils the
 * acknowledgement. Usage:
 *   DiagLogSim.exe [--quit-event NAME] [--lifetime SECONDS]
 * Everything here runs on the main thread (see sim.h). */
#include "sim/sim.h"
#include "sim/sense.h"
#include <stdio.h>
#include <string.h>

static DiagConfig g_diag;
static uint32_t   g_reports;      /* reports taken since the start */
static char       g_readablePath[MAX_PATH + 16];

/* Appends one line to the diagnosis log; 1 when it was written whole, else 0 with the system
 * error in *err. */
static int AppendLine(const char *path, const char *line, DWORD *err)
{
    char buf[DIAG_LINE_LEN + 2];
    DWORD put = 0;
    int n = snprintf(buf, sizeof buf, "%s\r\n", line), ok = 0;
    HANDLE f = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    *err = f == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (f == INVALID_HANDLE_VALUE)
        goto done;
    if (n < 0 || size_t(n) >= sizeof buf) {
        *err = ERROR_INSUFFICIENT_BUFFER;
        goto done;
    }
    ok = WriteFile(f, buf, DWORD(n), &put, nullptr) && put == DWORD(n);
    if (!ok)
        *err = GetLastError();
done:
    if (f != INVALID_HANDLE_VALUE)
        CloseHandle(f);
    return ok;
}

/* The readable log: the diagnosis log's name with "-readable" before its extension. */
static void SetReadablePath()
{
    const char *path = g_diag.logPath, *name = strrchr(path, '\\'), *dot = strrchr(path, '.');
    if (!dot || (name && dot < name))
        dot = path + strlen(path);
    snprintf(g_readablePath, sizeof g_readablePath, "%.*s-readable%s", int(dot - path), path,
             *dot ? dot : ".txt");
}

/* A report in words: drive, path, code, and the sense its detail carries, else its detail bytes. */
static void ReadableLine(const uint8_t *req, const SYSTEMTIME *t, char *line, size_t len)
{
    uint16_t code = uint16_t(req[DIAG_REQ_ROUTINE] << 8 | req[DIAG_REQ_STEP]);
    const uint8_t *detail = req + DIAG_REQ_DETAIL;
    char what[SENSE_TEXT_LEN + 8];
    SenseBytes sense;
    if (SenseOfError(code, detail, &sense)) {
        memcpy(what, "sense ", 6);
        SenseText(sense, what + 6, sizeof what - 6);
    } else {
        snprintf(what, sizeof what, "detail %02X %02X %02X %02X %02X %02X %02X %02X", detail[0], detail[1],
                 detail[2], detail[3], detail[4], detail[5], detail[6], detail[7]);
    }
    snprintf(line, len, "%04u/%02u/%02u %02u:%02u:%02u drive %02X%02X on MP %02X: error %04X, %s",
             unsigned(t->wYear), unsigned(t->wMonth), unsigned(t->wDay), unsigned(t->wHour),
             unsigned(t->wMinute), unsigned(t->wSecond), unsigned(req[DIAG_REQ_UNIT]),
             unsigned(req[DIAG_REQ_ROW]), unsigned(req[DIAG_REQ_MP]), unsigned(code), what);
}

/* One message from the queue: a report is logged and acknowledged, anything else refused. */
static void HandleReport(const SimMsg *m)
{
    char dest[IW_APID_LEN], line[DIAG_LINE_LEN];
    uint8_t ack[DIAG_ACK_LEN] = {};
    const uint8_t *req = m->data;
    SYSTEMTIME now;
    DWORD err;
    int32_t r;
    int report;

    if (!SimApIdText(m->from, dest)) {
        SimTrace("DiagLogSim DROP from=%04X: no AP id", unsigned(m->from));
        return;
    }
    GetLocalTime(&now);
    report = DiagFormatLine(req, m->dataLen, m->from, &now, line, sizeof line);
    ack[DIAG_ACK_APNO] = DIAG_KIND_REPORT;
    if (report) {
        g_reports++;
        ack[DIAG_ACK_BYTE1] = g_diag.ackByte1;
        PutBe32(ack + DIAG_ACK_SEQ, g_reports);
        ack[DIAG_ACK_UNIT] = req[DIAG_REQ_UNIT];
        ack[DIAG_ACK_ROW] = req[DIAG_REQ_ROW];
        ack[DIAG_ACK_CODE] = req[DIAG_REQ_ROUTINE];
        ack[DIAG_ACK_CODE + 1] = req[DIAG_REQ_STEP];
        SimTrace("DiagLogSim REQ from=%s CR#=%02X%02X ErrorCode=%02X%02X report %lu", dest,
                 unsigned(req[DIAG_REQ_UNIT]), unsigned(req[DIAG_REQ_ROW]),
                 unsigned(req[DIAG_REQ_ROUTINE]), unsigned(req[DIAG_REQ_STEP]),
                 (unsigned long)g_reports);
        /* The readable log goes beside the log: when that cannot be written, neither can it. */
        if (!AppendLine(g_diag.logPath, line, &err)) {
            SimTrace("DiagLogSim cannot write %s (%lu)", g_diag.logPath, err);
        } else {
            ReadableLine(req, &now, line, sizeof line);
            if (!AppendLine(g_readablePath, line, &err))
                SimTrace("DiagLogSim cannot write %s (%lu)", g_readablePath, err);
        }
    } else {
        ack[DIAG_ACK_BYTE1] = DIAG_ACK_REFUSED;
        SimTrace("DiagLogSim REQ from=%s len=%lu kind=%02X: not an error report, refused", dest,
                 (unsigned long)m->dataLen, unsigned(m->dataLen ? req[0] : 0));
    }
    if (!g_diag.ack) {
        SimTrace("DiagLogSim ACK to=%s withheld", dest);
        return;
    }
    if (!SimSleep(g_diag.ackDelayMs))
        return;
    r = mtp1_iwtrn(IW_ROW_AP, 0, 0, m->func, dest, 0, ack, sizeof ack);
    SimTrace("DiagLogSim ACK to=%s byte1=%02X delay=%lu ms ret=%ld", dest,
             unsigned(ack[DIAG_ACK_BYTE1]), (unsigned long)g_diag.ackDelayMs, long(r));
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    static const char name[] = "DiagLogSim";
    char path[MAX_PATH];
    int exists = 0;
    SimArgs a;

    SimInit(SIM_APID_DIAG, name);
    if (!SimParseArgs(__argc, __argv, SIM_APID_DIAG, &a)) {
        SimTrace("DiagLogSim usage: DiagLogSim.exe [--quit-event NAME] [--lifetime SECONDS]");
        return SIM_EXIT_USAGE;
    }
    if (!SimDescPath(path, sizeof path, &exists) || !DiagLoadConfig(&g_diag, exists ? path : nullptr)) {
        SimTrace("DiagLogSim cannot read its description or log path");
        return SIM_EXIT_START;
    }
    SetReadablePath();
    SimTrace("DiagLogSim log %s, ack %s, byte 1 %02X, delay %lu ms", g_diag.logPath,
             g_diag.ack ? "on" : "withheld", unsigned(g_diag.ackByte1),
             (unsigned long)g_diag.ackDelayMs);
    return SimRun(SIM_APID_DIAG, name, &a, SIM_ROW_AP, HandleReport);
}
