/* Diagnosis log simulator: its section [DiagLog] of the subsystem description, its log file's
 * path and the decoded line of one error report. */
#include "sim/sim.h"
#include <stdio.h>
#include <string.h>

int DiagLoadConfig(DiagConfig *c, const char *descPath)
{
    char v[SIM_VALUE_LEN];
    uint32_t n;
    DWORD len;

    memset(c, 0, sizeof *c);
    c->ack = 1;
    c->ackByte1 = DIAG_ACK_OK;
    if (descPath) {
        if (SimIniText(descPath, "DiagLog", "AckDelayMs", v, sizeof v) && SimParseNum(v, 10, SIM_MS_MAX, &n))
            c->ackDelayMs = n;
        if (SimIniText(descPath, "DiagLog", "Ack", v, sizeof v) && SimParseNum(v, 10, 1, &n))
            c->ack = uint8_t(n);
        if (SimIniText(descPath, "DiagLog", "AckByte1", v, sizeof v) && SimParseNum(v, 16, 0xFF, &n))
            c->ackByte1 = uint8_t(n);
    }
    len = GetEnvironmentVariableA("MTP_DIAG_LOG", c->logPath, sizeof c->logPath);
    if (len >= sizeof c->logPath)
        return 0;
    if (len == 0)
        snprintf(c->logPath, sizeof c->logPath, "%s", DIAG_LOG_DEFAULT);
    return 1;
}

int DiagFormatLine(const uint8_t *req, uint32_t len, uint16_t from, const SYSTEMTIME *t,
                   char *line, size_t lineLen)
{
    char detail[DIAG_DETAIL_COUNT * 3 + 1];
    int n;
    if (!req || len < DIAG_REQ_MIN || req[DIAG_REQ_KIND] != DIAG_KIND_REPORT ||
        req[DIAG_REQ_OP] != DIAG_OP_REPORT || lineLen == 0)
        return 0;
    for (uint32_t i = 0; i < DIAG_DETAIL_COUNT; i++)
        snprintf(detail + 3 * i, 4, i + 1 < DIAG_DETAIL_COUNT ? "%02X " : "%02X",
                 unsigned(req[DIAG_REQ_DETAIL + i]));
    n = snprintf(line, lineLen,
                 "%04u/%02u/%02u %02u:%02u:%02u.%03u CR#=%02X%02X MP=%02X Routine=%02X Step=%02X "
                 "ErrorCode=%02X%02X Detail=%s TmpConfig=%u From=%02X",
                 unsigned(t->wYear), unsigned(t->wMonth), unsigned(t->wDay), unsigned(t->wHour),
                 unsigned(t->wMinute), unsigned(t->wSecond), unsigned(t->wMilliseconds),
                 unsigned(req[DIAG_REQ_UNIT]), unsigned(req[DIAG_REQ_ROW]), unsigned(req[DIAG_REQ_MP]),
                 unsigned(req[DIAG_REQ_ROUTINE]), unsigned(req[DIAG_REQ_STEP]),
                 unsigned(req[DIAG_REQ_ROUTINE]), unsigned(req[DIAG_REQ_STEP]), detail,
                 unsigned(req[DIAG_REQ_TMPCFG]), unsigned(from & 0xFF));
    /* A line cut by a short buffer is a failure, not a shorter line. */
    if (n < 0 || size_t(n) >= lineLen) {
        line[0] = '\0';
        return 0;
    }
    return 1;
}
