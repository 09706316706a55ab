/* DkcSim.exe: the suite's controller communication application (AP "09") as a simulator. It
 * executes drive commands against the drives of the subsystem description and answers each
 * requester with DKC messages the way the controller does: FC 0x83 replies of 75 040 bytes in
 * segments, FC 0x89 data segments and an end segment, FC 0xBE read records. Usage:
 *   DkcSim.exe [--quit-event NAME] [--lifetime SECONDS]
 * Everything here runs on the main thread (see sim.h). */
#include "sim/sim.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum : uint32_t {
    MSG_BUF_LEN = size_t(MSG_PREFIX) + size_t(PL_SEG) + size_t(SEG83_HEAD) + size_t(SIM_SEGMENT_MAX),
    PAYLOAD_MAX = 0xFFFF,
    ROW_REPORT_MASK = 0x80000000u,
};
static_assert(size_t(PL_SEG) + size_t(SEG83_HEAD) + size_t(SIM_SEGMENT_MAX) == size_t(PAYLOAD_MAX), "largest segment fills the length");
static_assert(size_t(SEGBE_RECORDS) + size_t(SEGBE_RECORD_LEN) * size_t(SIM_UNITS) == size_t(SEGBE_LEN), "read records");
static_assert(size_t(R83_HEAD) + size_t(R83_BLOCK) * size_t(SIM_ROWS) == size_t(R83_LEN), "0x83 reply");

#define PRODUCT_FMT "SIMDRIVE-%04X"
#define REVISION    "S001"

/* What the faults do to one command. */
struct Effects {
    uint8_t  timeout, hasRc, hasError, wrongRow, missingRow;
    uint8_t  error;
    uint32_t rc, slowMs;
};

/* Where one reply goes and how far it got. */
struct ReplyTo {
    char     dest[IW_APID_LEN];
    uint16_t func;
    uint16_t mpid;
    uint8_t  fc;
    uint32_t segments;      /* messages sent; the next one's P */
    uint32_t bytes;         /* segment data sent */
    int      failed;
};

static DkcConfig g_cfg;
static uint8_t   g_addr[SIM_UNITS][SIM_ROWS];     /* drives the command under way addresses */
static Effects   g_rowFx[SIM_UNITS][SIM_ROWS];    /* and what faults do to each */
static uint8_t   g_reply83[R83_LEN];
static uint8_t   g_segment[SEGBE_LEN];
static uint8_t   g_msg[MSG_BUF_LEN];

/* ---- faults ---- */

static uint8_t PathOf(const SimDrive *d, uint8_t mp);

/* Faults that act on the whole command rather than on one drive's report. */
static int IsWholeKind(uint8_t kind)
{
    return kind == SIM_FAULT_TIMEOUT || kind == SIM_FAULT_RC || kind == SIM_FAULT_SLOW;
}

/* Adds one fault to what happens; the first return code and error byte win, the longest
 * delay wins. */
static void ApplyEffect(const SimFault *f, Effects *e)
{
    switch (f->kind) {
    case SIM_FAULT_TIMEOUT:
        e->timeout = 1;
        break;
    case SIM_FAULT_RC:
        if (!e->hasRc) {
            e->hasRc = 1;
            e->rc = f->arg;
        }
        break;
    case SIM_FAULT_SLOW:
        if (f->arg > e->slowMs)
            e->slowMs = f->arg;
        break;
    case SIM_FAULT_ERROR:
        if (!e->hasError) {
            e->hasError = 1;
            e->error = uint8_t(f->arg);
        }
        break;
    case SIM_FAULT_WRONGROW:
        e->wrongRow = 1;
        break;
    case SIM_FAULT_MISSINGROW:
        e->missingRow = 1;
        break;
    }
}

/* The fault as the description writes it, for the trace. */
static const char *FaultText(const SimFault *f, char *buf, size_t len)
{
    static const char *const names[] = { "timeout", "rc", "error", "wrongrow", "missingrow", "slow" };
    const char *name = f->kind < sizeof names / sizeof names[0] ? names[f->kind] : "?";
    if (f->kind == SIM_FAULT_RC || f->kind == SIM_FAULT_ERROR)
        snprintf(buf, len, "%s:0x%lX", name, (unsigned long)f->arg);
    else if (f->kind == SIM_FAULT_SLOW)
        snprintf(buf, len, "%s:%lu", name, (unsigned long)f->arg);
    else
        snprintf(buf, len, "%s", name);
    return buf;
}

/* 1 when mp reaches the addressed drive at unit u, row r over the fault's path. */
static int OnPath(const SimFault *f, int u, int r, uint8_t mp)
{
    return g_addr[u][r] && PathOf(&g_cfg.drive[u][r], mp) == f->path;
}

/* 1 when a fault of one path applies: its drive, or without one any addressed drive, is
 * reached over that path. */
static int PathMatches(const SimFault *f, uint8_t mp)
{
    if (!f->anyDrive)
        return (f->pdev >> 8) < SIM_UNITS && (f->pdev & 0xFF) < SIM_ROWS &&
               OnPath(f, f->pdev >> 8, f->pdev & 0xFF, mp);
    for (int u = 0; u < SIM_UNITS; u++)
        for (int r = 0; r < SIM_ROWS; r++)
            if (OnPath(f, u, r, mp))
                return 1;
    return 0;
}

/* The trace line of a fault of one path: as the description writes it, path included. */
static void TracePathFault(const SimFault *f, uint8_t cmd)
{
    char drive[8] = "*", text[48];
    if (!f->anyDrive)
        snprintf(drive, sizeof drive, "%04X", unsigned(f->pdev));
    SimTrace("DkcSim FAULT %s %s@%c %s", drive, DkcCommandName(cmd), f->path == SIM_PATH_A ? 'A' : 'B',
             FaultText(f, text, sizeof text));
}

/* Applies every fault of cmd (or of every command) that names an addressed drive or no drive
 * and, if it names a path, arrives over it from MP mp; counted faults are used up once per
 * command. Whole-command effects go to whole, the others to g_rowFx (a fault without a drive:
 * to every addressed drive on its path). */
static void CollectFaults(uint8_t cmd, uint8_t mp, Effects *whole)
{
    char text[48];
    memset(whole, 0, sizeof *whole);
    memset(g_rowFx, 0, sizeof g_rowFx);
    for (int i = 0; i < g_cfg.faultCount; i++) {
        SimFault *f = &g_cfg.fault[i];
        const uint32_t u = f->pdev >> 8, r = f->pdev & 0xFF;
        if (f->remaining == 0 || (f->cmd != SIM_CMD_ANY && f->cmd != cmd))
            continue;
        if (!f->anyDrive && (u >= uint32_t(SIM_UNITS) || r >= uint32_t(SIM_ROWS) || !g_addr[u][r]))
            continue;
        if (f->path && !PathMatches(f, mp))
            continue;
        if (IsWholeKind(f->kind)) {
            ApplyEffect(f, whole);
        } else if (f->anyDrive && f->path) {
            for (int du = 0; du < SIM_UNITS; du++)
                for (int dr = 0; dr < SIM_ROWS; dr++)
                    if (OnPath(f, du, dr, mp))
                        ApplyEffect(f, &g_rowFx[du][dr]);
        } else if (f->anyDrive) {
            for (int du = 0; du < SIM_UNITS; du++)
                for (int dr = 0; dr < SIM_ROWS; dr++)
                    if (g_addr[du][dr])
                        ApplyEffect(f, &g_rowFx[du][dr]);
        } else {
            ApplyEffect(f, &g_rowFx[u][r]);
        }
        if (f->remaining > 0)
            f->remaining--;
        if (f->path) {
            TracePathFault(f, cmd);
            continue;
        }
        if (f->anyDrive)
            SimTrace("DkcSim FAULT * %s %s", DkcCommandName(cmd), FaultText(f, text, sizeof text));
        else
            SimTrace("DkcSim FAULT %04X %s %s", unsigned(f->pdev), DkcCommandName(cmd),
                     FaultText(f, text, sizeof text));
    }
}

/* ---- drives ---- */

/* MP number of an MP id; SIM_MP_NONE outside 0x80..0xFE. */
static uint8_t MpOfId(uint16_t mpid)
{
    return mpid >= MP_ID_BASE && mpid - MP_ID_BASE < SIM_MP_NONE ? uint8_t(mpid - MP_ID_BASE) : uint8_t(SIM_MP_NONE);
}

/* Path of the drive that MP mp serves, or 0 when mp does not reach it. */
static uint8_t PathOf(const SimDrive *d, uint8_t mp)
{
    if (!d->present || mp == SIM_MP_NONE)
        return 0;
    if (d->mpA == mp)
        return SIM_PATH_A;
    if (d->mpB == mp)
        return SIM_PATH_B;
    return 0;
}

/* 1 when the drive answers on mp: on one of its paths and not bypassed there. */
static int Answers(const SimDrive *d, uint8_t mp)
{
    uint8_t p = PathOf(d, mp);
    return p && !(d->bypassed & p);
}

/* Ready to take media commands; a finished spin-up is noted. */
static int DriveReady(SimDrive *d, DWORD now)
{
    if (d->stopped)
        return 0;
    if (!d->spinning)
        return 1;
    if (d->neverReady || now - d->spinStart < MtpScaleMs(d->spinUpMs))
        return 0;
    d->spinning = 0;
    return 1;
}

/* Scaled time still to wait until a spinning drive is up; 0 when it is not spinning. */
static DWORD SpinRemaining(const SimDrive *d, DWORD now)
{
    DWORD spin = MtpScaleMs(d->spinUpMs), gone = now - d->spinStart;
    if (d->stopped || !d->spinning)
        return 0;
    return gone < spin ? spin - gone : 0;
}

/* Sense of a drive that is not ready: start needed (or the configured stopped sense) when
 * stopped, else becoming ready. */
static void PutNotReadySense(uint8_t *sense, const SimDrive *d)
{
    sense[0] = SENSE_NOT_READY;
    sense[1] = ASC_NOT_READY;
    sense[2] = d->stopped ? ASCQ_START_NEEDED : ASCQ_BECOMING_READY;
    if (d->stopped && d->hasStoppedSense)
        memcpy(sense, d->stoppedSense, SIM_SENSE_LEN);
}

/* State word of a Drive Read record. */
static uint16_t StateBits(SimDrive *d, DWORD now)
{
    uint16_t s = 0;
    if (DriveReady(d, now))
        s |= STATE_READY;
    if (d->stopped)
        s |= STATE_STOPPED;
    if (d->spinning)
        s |= STATE_SPINNING;
    if (d->bypassed & SIM_PATH_A)
        s |= STATE_BYPASS_A;
    if (d->bypassed & SIM_PATH_B)
        s |= STATE_BYPASS_B;
    if (d->lamp)
        s |= STATE_LAMP;
    if (d->inlineOn)
        s |= STATE_INLINE;
    return s;
}

/* ---- sending ---- */

/* One reply message: prefix, P, F, then head and data. A failed transfer, or the quit event,
 * ends the reply. */
static void SendSegment(ReplyTo *to, uint8_t flags, const uint8_t *head, uint32_t headLen,
                        const uint8_t *data, uint32_t dataLen)
{
    const uint32_t payload = PL_SEG + headLen + dataLen;
    BitmapMP t1, t2;
    int32_t r;
    if (to->failed)
        return;
    if (SimQuitSet() || payload > PAYLOAD_MAX || MSG_PREFIX + payload > sizeof g_msg) {
        to->failed = 1;
        return;
    }
    memset(g_msg, 0, MSG_PREFIX);
    g_msg[MSG_FLAGS] = flags;
    PutBe16(g_msg + MSG_PAYLOAD_LEN, uint16_t(payload));
    g_msg[MSG_PREFIX + PL_P] = uint8_t(to->segments);
    g_msg[MSG_PREFIX + PL_F] = to->fc;
    if (headLen)
        memcpy(g_msg + MSG_PREFIX + PL_SEG, head, headLen);
    if (dataLen)
        memcpy(g_msg + MSG_PREFIX + PL_SEG + headLen, data, dataLen);
    memset(&t1, 0xFF, sizeof t1);
    memset(&t2, 0xFF, sizeof t2);
    t1.mpid = t2.mpid = to->mpid;
    r = IwTransferTo(IW_ROW_DKC, &t1, &t2, to->func, to->dest, g_msg, MSG_PREFIX + payload, nullptr, 0);
    if (r != IW_OK) {
        SimTrace("DkcSim RPL to=%s FC=%02X segment %lu not delivered (%ld)", to->dest,
                 unsigned(to->fc), (unsigned long)to->segments, long(r));
        to->failed = 1;
        return;
    }
    to->segments++;
    to->bytes += headLen + dataLen;
}

/* Segment head of FC 0x89 / 0xBE: Id, Fc, Sf, flag, return code. */
static void PutSegHead(uint8_t *seg, const uint8_t *req, uint8_t flag, uint32_t rc)
{
    seg[SEG_ID] = req[DREQ_APID];
    seg[SEG_FC] = req[DREQ_FC];
    seg[SEG_SF] = req[DREQ_SF];
    seg[SEG_FLAG] = flag;
    PutBe32(seg + SEG_RC, rc);
}

/* An end segment: the head and nothing else of interest. */
static void SendEnd(ReplyTo *to, const uint8_t *req)
{
    uint8_t seg[SEG89_LEN] = {};
    PutSegHead(seg, req, SEG_END, RC_OK);
    SendSegment(to, MSG_LAST, seg, sizeof seg, nullptr, 0);
}

/* A refused exchange: one data segment with the return code and no end segment, as the program
 * stops listening at a non-zero return code. */
static void SendRefusal(ReplyTo *to, const uint8_t *req, uint32_t rc)
{
    uint8_t seg[SEG89_LEN] = {};
    PutSegHead(seg, req, SEG_DATA, rc);
    SendSegment(to, MSG_FIRST | MSG_LAST, seg, to->fc == FC_READ ? SEG_HEAD_LEN : SEG89_LEN,
                nullptr, 0);
}

/* One line per reply: where it went, how many segments and bytes, whether it got there. */
static void TraceReply(const ReplyTo *to, const char *cmd, uint32_t rc)
{
    SimTrace("DkcSim RPL to=%s FC=%02X %s rc=%08lX segments=%lu bytes=%lu %s", to->dest,
             unsigned(to->fc), cmd, (unsigned long)rc, (unsigned long)to->segments,
             (unsigned long)to->bytes, to->failed ? "aborted" : "sent");
}

/* ---- FC 0x83 ---- */

/* Command of a descriptor; STOP and START by the start bit. */
static uint8_t CommandOfCdb(const uint8_t *cdb)
{
    switch (cdb[0]) {
    case CDB_TUR:       return SIM_CMD_TUR;
    case CDB_SENSE:     return SIM_CMD_SENSE;
    case CDB_INQUIRY:   return SIM_CMD_INQUIRY;
    case CDB_STARTSTOP: return (cdb[4] & CDB_START) ? SIM_CMD_START : SIM_CMD_STOP;
    case CDB_SELFTEST:  return SIM_CMD_SELFTEST;
    default:            return SIM_CMD_OTHER;
    }
}

/* Standard INQUIRY data of the drive at the block's data. */
static void PutInquiry(uint8_t *blk, const SimDrive *d, uint16_t pdev)
{
    char product[PRODUCT_LEN + 1];
    uint8_t *q = blk + BLK_DATA;
    q[INQ_VERSION_AT] = INQ_VERSION;
    q[INQ_FORMAT_AT] = INQ_FORMAT;
    q[INQ_ADD_LEN_AT] = INQ_ADD_LEN;
    memcpy(blk + BLK_VENDOR, d->vendor, SIM_VENDOR_LEN);
    snprintf(product, sizeof product, PRODUCT_FMT "%*s", unsigned(pdev), int(PRODUCT_LEN), "");
    memcpy(blk + BLK_PRODUCT, product, PRODUCT_LEN);
    memcpy(blk + BLK_REVISION, REVISION, REVISION_LEN);
}

/* Sense at the block's sense bytes, and as fixed-format sense data for REQUEST SENSE. */
static void PutSense(uint8_t *blk, const uint8_t sense[SIM_SENSE_LEN], int asData)
{
    memcpy(blk + BLK_SENSE, sense, SIM_SENSE_LEN);
    if (!asData)
        return;
    blk[BLK_DATA] = SENSE_FIXED;
    blk[BLK_DATA + SENSE_KEY_AT] = sense[0];
    blk[BLK_DATA + SENSE_ADD_LEN_AT] = SENSE_ADD_LEN;
    blk[BLK_DATA + SENSE_ASC_AT] = sense[1];
    blk[BLK_DATA + SENSE_ASCQ_AT] = sense[2];
}

/* Executes the descriptor on one answering drive and fills its row block. */
static void RunOnDrive(uint8_t *blk, SimDrive *d, int u, int r, uint8_t cmd, DWORD now)
{
    static const uint8_t illegal[SIM_SENSE_LEN] = { SENSE_ILLEGAL, ASC_BAD_OPCODE, 0 };
    uint8_t sense[SIM_SENSE_LEN] = {};
    blk[BLK_FLAG] = 1;
    blk[BLK_CDEV] = uint8_t(u);
    blk[BLK_RDEV] = uint8_t(r);
    switch (cmd) {
    case SIM_CMD_TUR:
        if (!DriveReady(d, now)) {
            blk[BLK_ERROR] = STATUS_CHECK;
            blk[BLK_TUR] = TUR_NOT_READY;
            PutNotReadySense(sense, d);
        }
        PutSense(blk, sense, 0);
        break;
    case SIM_CMD_SENSE:
        if (DriveReady(d, now))
            memcpy(sense, d->sense, SIM_SENSE_LEN);
        else
            PutNotReadySense(sense, d);
        /* Once after a START UNIT, when the drive is up; then the lasting sense again. */
        if (d->startSensePending && DriveReady(d, now)) {
            memcpy(sense, d->startSense, SIM_SENSE_LEN);
            d->startSensePending = 0;
        }
        PutSense(blk, sense, 1);
        break;
    case SIM_CMD_INQUIRY:
        PutInquiry(blk, d, uint16_t(u << 8 | r));
        break;
    case SIM_CMD_STOP:
        if (d->ignoreStop)
            break;
        d->stopped = 1;
        d->spinning = 0;
        break;
    case SIM_CMD_START:
        d->startSensePending = d->hasStartSense;
        if (d->stopped) {
            d->stopped = 0;
            d->spinning = 1;
            d->spinStart = now;
        }
        break;
    case SIM_CMD_SELFTEST:
        if (DriveReady(d, now)) {
            blk[BLK_SELFTEST] = d->selfTest;
        } else {
            blk[BLK_ERROR] = STATUS_CHECK;
            PutNotReadySense(sense, d);
            PutSense(blk, sense, 0);
        }
        break;
    default:
        blk[BLK_ERROR] = STATUS_CHECK;
        PutSense(blk, illegal, 0);
        break;
    }
}

/* The row faults of one drive on its block. */
static void ApplyRowFaults(uint8_t *blk, const Effects *e, int r)
{
    if (e->missingRow) {
        memset(blk, 0, R83_BLOCK);
        return;
    }
    if (!blk[BLK_FLAG])
        return;
    if (e->hasError)
        blk[BLK_ERROR] = e->error;
    if (e->wrongRow)
        blk[BLK_RDEV] = uint8_t((r + 1) % SIM_ROWS);
}

/* FC 0x83: the descriptor on every selected row of the unit, one reply of 75 040 bytes cut
 * into segments of the configured size. */
static void Do83(const SimMsg *m, ReplyTo *to)
{
    const uint8_t *req = m->data;
    const uint8_t *cdb = req + DREQ_CDB;
    const uint8_t unit = req[DREQ_UNIT];
    const uint8_t mp = MpOfId(m->mpid);
    const uint8_t cmd = CommandOfCdb(cdb);
    uint8_t head[SEG83_HEAD] = {};
    uint32_t rows[DREQ_ROWWORDS], selected = 0, valid = 0, missing = 0, rc;
    DWORD now = GetTickCount(), wait = 0;
    Effects whole;

    for (size_t w = 0; w < DREQ_ROWWORDS; w++)
        rows[w] = GetBe32(req + DREQ_ROWBITMAP + 4 * w);
    memset(g_addr, 0, sizeof g_addr);
    for (int r = 0; r < SIM_ROWS && unit < SIM_UNITS; r++)
        if (rows[r / 32] & (ROW_REPORT_MASK >> (r % 32))) {
            g_addr[unit][r] = 1;
            selected++;
        }
    SimTrace("DkcSim REQ from=%s FC=83 MP=%04X %s C=%02X rows=%lu CDB=%02X %02X %02X %02X %02X %02X",
             to->dest, unsigned(m->mpid), DkcCommandName(cmd), unsigned(unit),
             (unsigned long)selected, cdb[0], cdb[1], cdb[2], cdb[3], cdb[4], cdb[5]);
    CollectFaults(cmd, mp, &whole);
    if (whole.timeout) {
        SimTrace("DkcSim NO REPLY FC=83 %s (timeout fault)", DkcCommandName(cmd));
        return;
    }

    memset(g_reply83, 0, sizeof g_reply83);
    for (int r = 0; r < SIM_ROWS && unit < SIM_UNITS; r++) {
        uint8_t *blk = g_reply83 + R83_HEAD + R83_BLOCK * r;
        SimDrive *d = &g_cfg.drive[unit][r];
        if (!g_addr[unit][r])
            continue;
        if (Answers(d, mp)) {
            RunOnDrive(blk, d, unit, r, cmd, now);
            /* START UNIT without IMMED answers when the drive is up. */
            if (cmd == SIM_CMD_START && !(cdb[1] & CDB_IMMED) && SpinRemaining(d, now) > wait)
                wait = SpinRemaining(d, now);
        }
        ApplyRowFaults(blk, &g_rowFx[unit][r], r);
        if (blk[BLK_FLAG])
            valid++;
        else
            missing++;
    }
    rc = whole.hasRc ? whole.rc : RC_OK;
    g_reply83[HEAD_UNIT] = unit;
    g_reply83[HEAD_VALID_ROWS] = uint8_t(valid);
    PutBe16(g_reply83 + HEAD_MPID, m->mpid);
    memcpy(g_reply83 + HEAD_ROWBITMAP, req + DREQ_ROWBITMAP, 4 * DREQ_ROWWORDS);
    memcpy(g_reply83 + HEAD_CDB, cdb, DREQ_CDB_LEN);
    g_reply83[HEAD_STATUS] = rc != RC_OK ? HEAD_STATUS_RC : missing ? HEAD_STATUS_NO_ROW : HEAD_STATUS_OK;
    PutBe32(g_reply83 + HEAD_RC, rc);

    if (!SimWaitReal(wait) || !SimSleep(whole.slowMs))
        return;

    const uint32_t seg = g_cfg.segmentLen;
    const uint32_t count = 1 + (R83_LEN > seg ? (R83_LEN - seg + seg - 1) / seg : 0);
    head[SEG_ID] = req[DREQ_APID];
    head[SEG_FC] = FC_PASS;
    head[SEG_SF] = req[DREQ_SF];
    head[SEG_FLAG] = SEG_DATA;
    PutBe32(head + SEG_RC, rc);
    PutBe32(head + SEG83_TOTAL, R83_LEN);
    PutBe16(head + SEG83_COUNT, uint16_t(count > PAYLOAD_MAX ? PAYLOAD_MAX : count));
    for (uint32_t off = 0, i = 0; off < R83_LEN && !to->failed; i++) {
        const uint32_t n = R83_LEN - off < seg ? R83_LEN - off : seg;
        const uint8_t flags = uint8_t((i == 0 ? MSG_FIRST : 0) | (off + n == R83_LEN ? MSG_LAST : 0));
        SendSegment(to, flags, i == 0 ? head : nullptr, i == 0 ? uint32_t(SEG83_HEAD) : 0u, g_reply83 + off, n);
        off += n;
    }
    TraceReply(to, DkcCommandName(cmd), rc);
}

/* ---- FC 0x89 ---- */

/* Command of a path request from its parameter kind and sub-command; 0 when unknown. */
static int CommandOf89(const uint8_t *req, uint8_t *cmd)
{
    const uint8_t kind = req[DREQ_KIND], sub = req[DREQ_SUB];
    if (kind == KIND_LAMP && sub == SUB_REJECTLAMP)
        *cmd = SIM_CMD_REJECTLAMP;
    else if (kind != KIND_PATH)
        return 0;
    else if (sub == SUB_LIP)
        *cmd = SIM_CMD_LIP;
    else if (sub == SUB_RESETBYPASS)
        *cmd = SIM_CMD_RESETBYPASS;
    else if (sub == SUB_SETBYPASS)
        *cmd = SIM_CMD_SETBYPASS;
    else if (sub == SUB_CHECKBYPASS)
        *cmd = SIM_CMD_CHECKBYPASS;
    else if (sub == SUB_STARTINLINE)
        *cmd = SIM_CMD_STARTINLINE;
    else if (sub == SUB_ENDINLINE)
        *cmd = SIM_CMD_ENDINLINE;
    else
        return 0;
    return 1;
}

/* Marks the drives of the request's bitmap; returns how many. */
static uint32_t AddressBitmap(const uint8_t *req)
{
    uint32_t n = 0;
    memset(g_addr, 0, sizeof g_addr);
    for (int r = 0; r < SIM_ROWS; r++) {
        const uint32_t word = GetBe32(req + DREQ_BITMAP + 4 * r);
        for (int u = 0; u < SIM_UNITS; u++)
            if (word & (ROW_REPORT_MASK >> u)) {
                g_addr[u][r] = 1;
                n++;
            }
    }
    return n;
}

/* Carries out a path command on the addressed drives; returns its answer. Check Bypass only
 * counts the reports it will send. */
static uint32_t RunPathCommand(uint8_t cmd, uint8_t mp)
{
    uint32_t answer = 0;
    for (int u = 0; u < SIM_UNITS; u++) {
        for (int r = 0; r < SIM_ROWS; r++) {
            SimDrive *d = &g_cfg.drive[u][r];
            const uint8_t p = PathOf(d, mp);
            if (!g_addr[u][r] || !p)
                continue;
            switch (cmd) {
            case SIM_CMD_LIP:
                answer++;
                break;
            case SIM_CMD_RESETBYPASS:
                answer += (d->bypassed & p) != 0;
                d->bypassed = uint8_t(d->bypassed & ~p);
                break;
            case SIM_CMD_SETBYPASS:
                answer += (d->bypassed & p) == 0;
                d->bypassed = uint8_t(d->bypassed | p);
                break;
            case SIM_CMD_CHECKBYPASS:
                answer += (d->bypassed & p) && !g_rowFx[u][r].missingRow;
                break;
            case SIM_CMD_STARTINLINE:
                d->inlineOn = 1;
                break;
            case SIM_CMD_ENDINLINE:
                d->inlineOn = 0;
                break;
            case SIM_CMD_REJECTLAMP:
                d->lamp = 1;
                break;
            }
        }
    }
    return answer;
}

/* FC 0x89: the path command on the drives of the bitmap that the MP reaches; a data segment
 * per reported bypass (or one with mask 0), then the end segment. */
static void Do89(const SimMsg *m, ReplyTo *to)
{
    const uint8_t *req = m->data;
    const uint8_t mp = MpOfId(to->mpid);
    uint8_t cmd = SIM_CMD_OTHER, seg[SEG89_LEN];
    uint32_t drives, answer;
    int reports = 0;
    Effects whole;

    drives = AddressBitmap(req);
    if (!CommandOf89(req, &cmd)) {
        SimTrace("DkcSim REQ from=%s FC=89 kind=%02X sub=%02X unknown, refused", to->dest,
                 unsigned(req[DREQ_KIND]), unsigned(req[DREQ_SUB]));
        SendRefusal(to, req, RC_BAD_REQUEST);
        TraceReply(to, "OTHER", RC_BAD_REQUEST);
        return;
    }
    SimTrace("DkcSim REQ from=%s FC=89 Sf=%02X MP=%04X %s drives=%lu", to->dest,
             unsigned(req[DREQ_SF]), unsigned(to->mpid), DkcCommandName(cmd), (unsigned long)drives);
    CollectFaults(cmd, mp, &whole);
    if (whole.timeout) {
        SimTrace("DkcSim NO REPLY FC=89 %s (timeout fault)", DkcCommandName(cmd));
        return;
    }
    if (!SimSleep(whole.slowMs))
        return;
    if (whole.hasRc) {
        SendRefusal(to, req, whole.rc);
        TraceReply(to, DkcCommandName(cmd), whole.rc);
        return;
    }
    answer = RunPathCommand(cmd, mp);
    if (cmd == SIM_CMD_CHECKBYPASS) {
        for (int u = 0; u < SIM_UNITS; u++) {
            for (int r = 0; r < SIM_ROWS; r++) {
                const SimDrive *d = &g_cfg.drive[u][r];
                const Effects *e = &g_rowFx[u][r];
                if (!g_addr[u][r] || !(d->bypassed & PathOf(d, mp)) || e->missingRow)
                    continue;
                memset(seg, 0, sizeof seg);
                PutSegHead(seg, req, SEG_DATA, RC_OK);
                PutBe16(seg + SEG89_CR, uint16_t(u << 8 | (e->wrongRow ? (r + 1) % SIM_ROWS : r)));
                PutBe32(seg + SEG89_ANSWER, answer);
                PutBe32(seg + SEG89_MASK, ROW_REPORT_MASK >> u);
                SendSegment(to, uint8_t(reports == 0 ? MSG_FIRST : 0), seg, sizeof seg, nullptr, 0);
                reports++;
            }
        }
    }
    if (reports == 0) {
        memset(seg, 0, sizeof seg);
        PutSegHead(seg, req, SEG_DATA, RC_OK);
        PutBe32(seg + SEG89_ANSWER, answer);
        SendSegment(to, MSG_FIRST, seg, sizeof seg, nullptr, 0);
    }
    SendEnd(to, req);
    TraceReply(to, DkcCommandName(cmd), RC_OK);
}

/* ---- FC 0xBE ---- */

/* Drive Read record of one drive. */
static void PutRecord(uint8_t *rec, SimDrive *d, int u, int r, DWORD now)
{
    rec[REC_FLAG] = 1;
    rec[REC_CDEV] = uint8_t(u);
    rec[REC_RDEV] = uint8_t(r);
    PutBe32(rec + REC_VALUE, d->driveValue);
    PutBe16(rec + REC_PDEV, uint16_t(u << 8 | r));
    PutBe16(rec + REC_STATE, StateBits(d, now));
    PutBe16(rec + REC_SELFTEST, d->selfTest);
}

/* FC 0xBE: the records of the requested drive's row, one data segment and the end segment. */
static void DoBE(const SimMsg *m, ReplyTo *to)
{
    const uint8_t *req = m->data;
    const uint8_t mp = MpOfId(to->mpid);
    DWORD now = GetTickCount();
    int unit = -1, row = -1;
    Effects whole;

    AddressBitmap(req);
    for (int r = 0; r < SIM_ROWS && unit < 0; r++)
        for (int u = 0; u < SIM_UNITS && unit < 0; u++)
            if (g_addr[u][r]) {
                unit = u;
                row = r;
            }
    if (req[DREQ_KIND] != KIND_READ || req[DREQ_SUB] != SUB_READ || unit < 0) {
        SimTrace("DkcSim REQ from=%s FC=BE kind=%02X sub=%02X without a drive, refused", to->dest,
                 unsigned(req[DREQ_KIND]), unsigned(req[DREQ_SUB]));
        SendRefusal(to, req, RC_BAD_REQUEST);
        TraceReply(to, "DRIVEREAD", RC_BAD_REQUEST);
        return;
    }
    /* One drive: the first of the bitmap. */
    memset(g_addr, 0, sizeof g_addr);
    g_addr[unit][row] = 1;
    SimTrace("DkcSim REQ from=%s FC=BE Sf=%02X MP=%04X DRIVEREAD CR#=%02X%02X", to->dest,
             unsigned(req[DREQ_SF]), unsigned(to->mpid), unsigned(unit), unsigned(row));
    CollectFaults(SIM_CMD_DRIVEREAD, mp, &whole);
    if (whole.timeout) {
        SimTrace("DkcSim NO REPLY FC=BE DRIVEREAD (timeout fault)");
        return;
    }
    if (!SimSleep(whole.slowMs))
        return;
    if (whole.hasRc || !Answers(&g_cfg.drive[unit][row], mp)) {
        const uint32_t rc = whole.hasRc ? whole.rc : RC_NO_DRIVE;
        SendRefusal(to, req, rc);
        TraceReply(to, "DRIVEREAD", rc);
        return;
    }
    memset(g_segment, 0, sizeof g_segment);
    PutSegHead(g_segment, req, SEG_DATA, RC_OK);
    PutBe16(g_segment + SEGBE_CR, uint16_t(unit << 8 | row));
    PutBe16(g_segment + SEGBE_SIZE, SEGBE_LEN);
    for (int u = 0; u < SIM_UNITS; u++) {
        uint8_t *rec = g_segment + SEGBE_RECORDS + SEGBE_RECORD_LEN * u;
        SimDrive *d = &g_cfg.drive[u][row];
        if (Answers(d, mp))
            PutRecord(rec, d, u, row, now);
    }
    const Effects *e = &g_rowFx[unit][row];
    uint8_t *own = g_segment + SEGBE_RECORDS + SEGBE_RECORD_LEN * unit;
    if (e->missingRow)
        memset(own, 0, SEGBE_RECORD_LEN);
    if (e->wrongRow)
        own[REC_RDEV] = uint8_t((row + 1) % SIM_ROWS);
    if (e->hasError)
        own[REC_ERROR] = e->error;
    SendSegment(to, MSG_FIRST, g_segment, SEGBE_LEN, nullptr, 0);
    SendEnd(to, req);
    TraceReply(to, "DRIVEREAD", RC_OK);
}

/* ---- requests ---- */

/* One request from the queue: checked, executed, answered. */
static void HandleRequest(const SimMsg *m)
{
    ReplyTo to;
    const uint8_t *req = m->data;
    memset(&to, 0, sizeof to);
    if (!SimApIdText(m->from, to.dest)) {
        SimTrace("DkcSim DROP from=%04X: no AP id", unsigned(m->from));
        return;
    }
    if (m->dataLen < DREQ83_MIN || req[DREQ_FD] != FD_DRIVE) {
        SimTrace("DkcSim DROP from=%s len=%lu FD=%02X: not a drive command", to.dest,
                 (unsigned long)m->dataLen, unsigned(m->dataLen ? req[DREQ_FD] : 0));
        return;
    }
    to.func = m->func;
    to.fc = req[DREQ_FC];
    if (to.fc == FC_PASS) {
        to.mpid = m->mpid;
        Do83(m, &to);
        return;
    }
    if (to.fc != FC_PATH && to.fc != FC_READ) {
        SimTrace("DkcSim DROP from=%s FC=%02X: unknown function", to.dest, unsigned(to.fc));
        return;
    }
    if (m->dataLen < DREQ89_MIN) {
        SimTrace("DkcSim DROP from=%s FC=%02X len=%lu: too short", to.dest, unsigned(to.fc),
                 (unsigned long)m->dataLen);
        return;
    }
    to.mpid = uint16_t(MP_ID_BASE + req[DREQ_ADAPTER]);
    if (to.fc == FC_PATH)
        Do89(m, &to);
    else
        DoBE(m, &to);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    static const char name[] = "DkcSim";
    char path[MAX_PATH];
    int exists = 0;
    SimArgs a;

    SimInit(SIM_APID_DKC, name);
    if (!SimParseArgs(__argc, __argv, SIM_APID_DKC, &a)) {
        SimTrace("DkcSim usage: DkcSim.exe [--quit-event NAME] [--lifetime SECONDS]");
        return SIM_EXIT_USAGE;
    }
    if (!SimDescPath(path, sizeof path, &exists) || !DkcLoadConfig(&g_cfg, exists ? path : nullptr)) {
        SimTrace("DkcSim cannot read its description");
        return SIM_EXIT_START;
    }
    SimTrace("DkcSim description %s: %d drives, segment %lu, spin-up %lu ms, %d faults, demo faults %s",
             exists ? path : "(built-in)", g_cfg.driveCount, (unsigned long)g_cfg.segmentLen,
             (unsigned long)g_cfg.spinUpMs, g_cfg.faultCount, g_cfg.demoFaults ? "on" : "off");
    return SimRun(SIM_APID_DKC, name, &a, SIM_ROW_DKC, HandleRequest);
}
