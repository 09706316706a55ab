/* The drive command set: each operation builds its request in ComArea, sends it and copies what
 * the routines need from ComRArea into the caller's DriveResult. Bytes a request does not name
 * keep what the previous command left in ComArea. Main thread. */
#include "drivecmd/drivecmd.h"
#include <string.h>


/* One pass-through command: descriptor, direction, length of the data from the drive, and the
 * block bytes that fill result, sense and vendor id (0 = not filled). */
struct PassCmd {
    const char *name;
    uint8_t     desc[DREQ_CDB_LEN];
    uint8_t     direction;
    uint16_t    dataLen;
    uint16_t    resultAt;      /* 0: not filled; RESULT_ZERO: set to 0 */
    uint16_t    senseAt;
    uint16_t    vendorAt;
};
enum : uint16_t { RESULT_ZERO = 0xFFFF };

static const PassCmd kInquiry   = { "Inquiry",       { CDB_INQUIRY, 0, 0, 0, 0x90, 0 }, DIR_IN, 144,
                                      BLK_INQ_RESULT, 0, BLK_VENDOR };
static const PassCmd kTestReady = { "Unit Ready",    { CDB_TUR, 0, 0, 0, 0, 0 }, DIR_NONE, 0, BLK_TUR, BLK_SENSE, 0 };
static const PassCmd kSense     = { "Request Sense", { CDB_SENSE, 0, 0, 0, 0x20, 0 }, DIR_IN, 32, RESULT_ZERO,
                                      BLK_SENSE, 0 };
static const PassCmd kStopUnit  = { "Stop Unit",     { CDB_STARTSTOP, 0, 0, 0, 0, 0 }, DIR_NONE, 0, 0, 0, 0 };
static const PassCmd kStartUnit = { "Start Unit",    { CDB_STARTSTOP, 0, 0, 0, CDB_START, 0 }, DIR_NONE, 0, 0, 0, 0 };
static const PassCmd kSelfTest  = { "Self Test",     { CDB_SELFTEST, 5, 0, 0, 0, 0 }, DIR_NONE, 0, BLK_SELFTEST, 0, 0 };

static void PutHeader(uint8_t fc)
{
    g_dc.comArea[DREQ_FD] = FD_DRIVE;
    g_dc.comArea[DREQ_FC] = fc;
    g_dc.comArea[DREQ_APID] = APP_ID;
}

/* The last reply's return code, read big-endian. */
static uint32_t ReturnCode()
{
    const uint8_t b[RC_LEN] = { g_dc.comResult[0], g_dc.comResult[1], g_dc.comResult[2], g_dc.comResult[3] };
    return GetBe32(b);
}

/* Sends the request; on failure only the status is written. */
static int Send(uint16_t mp, uint16_t timeout, DriveResult *r)
{
    uint16_t status = COM_DONE;
    if (!SendCommand(g_dc.cfg.instance, g_dc.cfg.mainWnd, mp, mp, timeout, &status)) {
        r->status = status;
        return 0;
    }
    r->returnCode = ReturnCode();
    r->status = COM_DONE;
    return 1;
}

uint32_t CountRows(const uint32_t rows[3])
{
    uint32_t n = 0;
    for (uint32_t row = 0; row < ROW_COUNT; row++)
        n += (rows[row / 32] >> (31 - row % 32)) & 1;
    return n;
}

int MarkDrive(uint32_t *bitmap, uint16_t rowLimit, uint16_t crNo)
{
    uint32_t c = crNo >> 8, r = crNo & 0xFF;
    if (c >= UNIT_COUNT || r >= ROW_COUNT || r >= rowLimit)
        return 0;
    bitmap[r] |= 0x80000000u >> c;
    return 1;
}

void ClearWords(uint32_t *bitmap, uint32_t n) { memset(bitmap, 0, n * sizeof *bitmap); }

static uint32_t PassThrough(const PassCmd &cmd, uint16_t mp, uint8_t unit, const uint32_t rows[3],
                            uint16_t timeout, DriveResult *r)
{
    uint8_t *rq = g_dc.comArea;
    DcTrace("%s Start", cmd.name);
    PutHeader(FC_PASS);
    rq[DREQ_UNIT] = unit;
    rq[DREQ_ROWCOUNT] = uint8_t(CountRows(rows));
    for (size_t i = 0; i < DREQ_ROWWORDS; i++)
        PutBe32(rq + DREQ_ROWBITMAP + 4 * i, rows[i]);
    rq[DREQ_CDBLEN] = DREQ_CDB_LEN;
    rq[DREQ_DIR] = cmd.direction;
    memcpy(rq + DREQ_CDB, cmd.desc, DREQ_CDB_LEN);
    PutBe16(rq + DREQ_DATALEN, cmd.dataLen);
    memset(rq + DREQ_DATAOUT, 0, size_t(DREQ83_LEN) - size_t(DREQ_DATAOUT));
    if (!Send(mp, timeout, r))
        return 0;
    for (uint32_t row = 0; row < ROW_COUNT; row++) {
        const uint8_t *block = g_dc.comRArea + R83_HEAD + R83_BLOCK * row;
        RowResult &e = r->rows[row];
        e.valid = block[BLK_FLAG];
        e.errorByte = block[BLK_ERROR];
        e.unit = block[BLK_CDEV];
        e.row = block[BLK_RDEV];
        if (cmd.resultAt == RESULT_ZERO)
            e.result = 0;
        else if (cmd.resultAt)
            e.result = block[cmd.resultAt];
        if (cmd.senseAt) {
            e.senseKey = block[cmd.senseAt];
            e.senseCodeHi = block[cmd.senseAt + 1];
            e.senseCodeLow = block[cmd.senseAt + 2];
        }
        if (cmd.vendorAt)
            memcpy(e.vendorId, block + cmd.vendorAt, sizeof e.vendorId);
    }
    DcTrace("%s End", cmd.name);
    return 1;
}

uint32_t CmdInquiry(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout, DriveResult *r)
{ return PassThrough(kInquiry, mp, unit, rows, timeout, r); }
uint32_t CmdTestUnitReady(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout, DriveResult *r)
{ return PassThrough(kTestReady, mp, unit, rows, timeout, r); }
uint32_t CmdRequestSense(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout, DriveResult *r)
{ return PassThrough(kSense, mp, unit, rows, timeout, r); }
uint32_t CmdStopUnit(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout, DriveResult *r)
{ return PassThrough(kStopUnit, mp, unit, rows, timeout, r); }
uint32_t CmdStartUnit(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout, DriveResult *r)
{ return PassThrough(kStartUnit, mp, unit, rows, timeout, r); }
uint32_t CmdSelfTest(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout, DriveResult *r)
{ return PassThrough(kSelfTest, mp, unit, rows, timeout, r); }

/* Path control and drive read requests: four parameter bytes and the drive bitmap. */
static void PutPathRequest(uint8_t fc, uint8_t sf, uint8_t kind, uint8_t sub, uint16_t mp,
                           const uint32_t drives[ROW_COUNT])
{
    uint8_t *rq = g_dc.comArea;
    PutHeader(fc);
    rq[DREQ_SF] = sf;
    rq[DREQ_MARK] = DREQ_MARK_VALUE;
    rq[DREQ_KIND] = kind;
    rq[DREQ_SUB] = sub;
    rq[DREQ_ADAPTER] = uint8_t(mp - MP_ID_BASE);
    for (uint32_t row = 0; row < ROW_COUNT; row++)
        PutBe32(rq + DREQ_BITMAP + 4 * row, drives[row]);
}

/* The drive bitmap of one drive. */
static void OneDrive(uint16_t crNo, uint32_t drives[ROW_COUNT])
{
    ClearWords(drives, ROW_COUNT);
    MarkDrive(drives, ROW_COUNT, crNo);
}

static uint32_t PathCommand(const char *name, uint8_t sub, uint16_t mp, const uint32_t drives[ROW_COUNT],
                            uint16_t timeout, DriveResult *r, int answer)
{
    DcTrace("%s Start", name);
    PutPathRequest(FC_PATH, SF_PATH, KIND_PATH, sub, mp, drives);
    if (!Send(mp, timeout, r))
        return 0;
    if (answer)
        r->path.answer = GetBe32(g_dc.comRArea + SEG89_ANSWER);
    DcTrace("%s End", name);
    return 1;
}

uint32_t CmdLip(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r)
{ return PathCommand("Lip", SUB_LIP, mp, drives, timeout, r, 1); }
uint32_t CmdResetBypass(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r)
{ return PathCommand("Reset Bypass", SUB_RESETBYPASS, mp, drives, timeout, r, 1); }
uint32_t CmdSetBypass(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r)
{ return PathCommand("Set Bypass", SUB_SETBYPASS, mp, drives, timeout, r, 1); }

uint32_t CmdCheckBypass(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r)
{
    DcTrace("Check Bypass Start");
    PutPathRequest(FC_PATH, SF_PATH, KIND_PATH, SUB_CHECKBYPASS, mp, drives);
    /* The first two words as the host reads the request's bytes. */
    uint32_t w0 = GetLe32(g_dc.comArea + DREQ_BITMAP), w1 = GetLe32(g_dc.comArea + DREQ_BITMAP + 4);
    DcTrace("Check Bypass dkanc=%02x BM:%08lx %08lx", g_dc.comArea[DREQ_ADAPTER], (unsigned long)w0,
            (unsigned long)w1);
    g_dc.checkBypassMode = 1;
    ClearWords(g_dc.bypassBitmap, ROW_COUNT);
    int ok = Send(mp, timeout, r);
    g_dc.checkBypassMode = 0;
    if (!ok)
        return 0;
    r->path.answer = GetBe32(g_dc.comRArea + SEG89_ANSWER);
    memcpy(r->path.bypass, g_dc.bypassBitmap, sizeof r->path.bypass);
    DcTrace("Check Bypass End");
    return 1;
}

uint32_t CmdRejectLamp(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r)
{
    DcTrace("Reject Lamp Start");
    PutPathRequest(FC_PATH, SF_LAMP, KIND_LAMP, SUB_REJECTLAMP, mp, drives);
    if (!Send(mp, timeout, r))
        return 0;
    DcTrace("Reject Lamp End");
    return 1;
}

static uint32_t Inline(const char *name, uint8_t sub, uint16_t mp, uint16_t crNo, uint16_t timeout,
                       DriveResult *r)
{
    uint32_t drives[ROW_COUNT];
    OneDrive(crNo, drives);
    return PathCommand(name, sub, mp, drives, timeout, r, 0);
}

uint32_t CmdStartInline(uint16_t mp, uint16_t crNo, uint16_t timeout, DriveResult *r)
{ return Inline("Start Inline", SUB_STARTINLINE, mp, crNo, timeout, r); }
uint32_t CmdEndInline(uint16_t mp, uint16_t crNo, uint16_t timeout, DriveResult *r)
{ return Inline("End Inline", SUB_ENDINLINE, mp, crNo, timeout, r); }

/* Drive Read: the record of the drive's unit; a refusal by the controller is a failure with
 * status 0. Mismatching record bytes are traced, not failed. */
uint32_t CmdDriveRead(uint16_t mp, uint16_t crNo, uint16_t timeout, DriveResult *r)
{
    uint32_t drives[ROW_COUNT];
    uint32_t c = crNo >> 8, row = crNo & 0xFF;
    DcTrace("Drive Read Start");
    OneDrive(crNo, drives);
    PutPathRequest(FC_READ, SF_READ, KIND_READ, SUB_READ, mp, drives);
    if (!Send(mp, timeout, r))
        return 0;
    r->status = COM_DONE;
    if (r->returnCode != 0)
        return 0;
    const uint8_t *rec = g_dc.comRArea + SEGBE_RECORDS + SEGBE_RECORD_LEN * c;
    r->returnCode = GetBe32(rec + REC_VALUE);
    if (rec[REC_FLAG] != 1)
        DcTrace("Invalid Flag. CR#=[%04x] Ret Flag=%02x", crNo, rec[REC_FLAG]);
    if (rec[REC_CDEV] != c)
        DcTrace("Invalid CDEV#. CR#=[%04x] Ret Cdev#=%02x", crNo, rec[REC_CDEV]);
    if (rec[REC_RDEV] != row)
        DcTrace("Invalid RDEV#. CR#=[%04x] Ret Rdev#=%02x", crNo, rec[REC_RDEV]);
    r->read.word8 = GetBe16(rec + REC_PDEV);
    r->read.word10 = GetBe16(rec + REC_STATE);
    for (int i = 0; i < 16; i++)
        r->read.words12[i] = GetBe16(rec + REC_COUNTERS + 2 * i);
    r->read.word44 = GetBe16(rec + REC_SELFTEST);
    DcTrace("Drive Read End");
    return 1;
}
