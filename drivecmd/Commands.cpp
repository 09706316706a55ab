/* The drive command set: each operation builds its request in ComArea, sends it and copies what
 * the routines need from ComRArea into the caller's DriveResult. Bytes a request does not name
 * keep what the previous command left in ComArea. Main thread. */
#include "drivecmd/drivecmd.h"
#include <string.h>

enum : uint8_t { PARAM_MARK = 0x30, KIND_PATH = 6, KIND_LAMP = 4, KIND_READ = 8, ADAPTER_BASE = 0x80 };
enum : uint8_t {
    SUB_LIP = 0x13, SUB_RESET_BYPASS = 0x14, SUB_SET_BYPASS = 0x15, SUB_CHECK_BYPASS = 0x16,
    SUB_START_INLINE = 0x21, SUB_END_INLINE = 0x22, SUB_REJECT_LAMP = 0x02, SUB_READ = 0,
};
enum : uint8_t { DIR_NONE = 0, DIR_IN = 2, DESC_LEN = 6 };
enum : size_t { READ_RECORD_AT = 12, READ_RECORD_LEN = 64 };

/* One pass-through command: descriptor, direction, length of the data from the drive, and the
 * block bytes that fill result, sense and vendor id (0 = not filled). */
struct PassCmd {
    const char *name;
    uint8_t     desc[DESC_LEN];
    uint8_t     direction;
    uint16_t    dataLen;
    uint16_t    resultAt;      /* 0: not filled; RESULT_ZERO: set to 0 */
    uint16_t    senseAt;
    uint16_t    vendorAt;
};
enum : uint16_t { RESULT_ZERO = 0xFFFF };

static const PassCmd kInquiry     = { "Inquiry",         { 0x12, 0, 0, 0, 0x90, 0 }, DIR_IN, 144, 22, 0, 24 };
static const PassCmd kTestReady   = { "Unit Ready",      { 0x00, 0, 0, 0, 0, 0 }, DIR_NONE, 0, 18, 143, 0 };
static const PassCmd kSense       = { "Request Sense",   { 0x03, 0, 0, 0, 0x20, 0 }, DIR_IN, 32, RESULT_ZERO, 143, 0 };
static const PassCmd kStopUnit    = { "Stop Unit",       { 0x1B, 0, 0, 0, 0, 0 }, DIR_NONE, 0, 0, 0, 0 };
static const PassCmd kStartUnit   = { "Start Unit",      { 0x1B, 0, 0, 0, 1, 0 }, DIR_NONE, 0, 0, 0, 0 };
static const PassCmd kSelfTest    = { "Self Test",       { 0x1D, 5, 0, 0, 0, 0 }, DIR_NONE, 0, 16, 0, 0 };

static void PutHeader(uint8_t fc)
{
    g_app.comArea[RQ_FD] = FD_DRIVE;
    g_app.comArea[RQ_FC] = fc;
    g_app.comArea[RQ_APP] = APP_ID;
}

/* Sends the request; on failure only the status is written. */
static int Send(uint16_t mp, uint16_t timeout, DriveResult *r)
{
    uint16_t status = COM_DONE;
    if (!SendCommand(g_app.instance, g_app.mainWnd, mp, mp, timeout, &status)) {
        r->status = status;
        return 0;
    }
    r->returnCode = __builtin_bswap32(g_app.comResult);
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
    uint8_t *rq = g_app.comArea;
    DcTrace("%s Start", cmd.name);
    PutHeader(FC_PASS);
    rq[RQ_UNIT] = unit;
    rq[RQ_ROW_COUNT] = uint8_t(CountRows(rows));
    for (int i = 0; i < 3; i++)
        PutBe32(rq + RQ_ROW_BITMAP + 4 * i, rows[i]);
    rq[RQ_DESC_LEN] = DESC_LEN;
    rq[RQ_DIRECTION] = cmd.direction;
    memcpy(rq + RQ_DESC, cmd.desc, DESC_LEN);
    PutBe16(rq + RQ_DATA_LEN, cmd.dataLen);
    memset(rq + RQ_DATA_OUT, 0, size_t(TRANSFER_LEN_83) - size_t(RQ_DATA_OUT));
    if (!Send(mp, timeout, r))
        return 0;
    for (uint32_t row = 0; row < ROW_COUNT; row++) {
        const uint8_t *block = g_app.comRArea + REPLY_HEAD_LEN + REPLY_BLOCK_LEN * row;
        RowResult &e = r->rows[row];
        e.valid = block[0];
        e.errorByte = block[1];
        e.unit = block[2];
        e.row = block[3];
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
    uint8_t *rq = g_app.comArea;
    PutHeader(fc);
    rq[RQ_SF] = sf;
    rq[RQ_PARAM_MARK] = PARAM_MARK;
    rq[RQ_PARAM_KIND] = kind;
    rq[RQ_SUBCMD] = sub;
    rq[RQ_ADAPTER] = uint8_t(mp - ADAPTER_BASE);
    for (uint32_t row = 0; row < ROW_COUNT; row++)
        PutBe32(rq + RQ_BITMAP + 4 * row, drives[row]);
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
        r->path.answer = GetBe32(g_app.comRArea + 12);
    DcTrace("%s End", name);
    return 1;
}

uint32_t CmdLip(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r)
{ return PathCommand("Lip", SUB_LIP, mp, drives, timeout, r, 1); }
uint32_t CmdResetBypass(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r)
{ return PathCommand("Reset Bypass", SUB_RESET_BYPASS, mp, drives, timeout, r, 1); }
uint32_t CmdSetBypass(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r)
{ return PathCommand("Set Bypass", SUB_SET_BYPASS, mp, drives, timeout, r, 1); }

uint32_t CmdCheckBypass(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r)
{
    DcTrace("Check Bypass Start");
    PutPathRequest(FC_PATH, SF_PATH, KIND_PATH, SUB_CHECK_BYPASS, mp, drives);
    uint32_t w0, w1;
    memcpy(&w0, g_app.comArea + RQ_BITMAP, 4);
    memcpy(&w1, g_app.comArea + RQ_BITMAP + 4, 4);
    DcTrace("Check Bypass dkanc=%02x BM:%08lx %08lx", g_app.comArea[RQ_ADAPTER], (unsigned long)w0,
            (unsigned long)w1);
    g_app.checkBypassMode = 1;
    ClearWords(g_app.bypassBitmap, ROW_COUNT);
    int ok = Send(mp, timeout, r);
    g_app.checkBypassMode = 0;
    if (!ok)
        return 0;
    r->path.answer = GetBe32(g_app.comRArea + 12);
    memcpy(r->path.bypass, g_app.bypassBitmap, sizeof r->path.bypass);
    DcTrace("Check Bypass End");
    return 1;
}

uint32_t CmdRejectLamp(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r)
{
    DcTrace("Reject Lamp Start");
    PutPathRequest(FC_PATH, SF_LAMP, KIND_LAMP, SUB_REJECT_LAMP, mp, drives);
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
{ return Inline("Start Inline", SUB_START_INLINE, mp, crNo, timeout, r); }
uint32_t CmdEndInline(uint16_t mp, uint16_t crNo, uint16_t timeout, DriveResult *r)
{ return Inline("End Inline", SUB_END_INLINE, mp, crNo, timeout, r); }

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
    if (g_app.comResult != 0)
        return 0;
    const uint8_t *rec = g_app.comRArea + READ_RECORD_AT + READ_RECORD_LEN * c;
    r->returnCode = GetBe32(rec + 4);
    if (rec[0] != 1)
        DcTrace("Invalid Flag. CR#=[%04x] Ret Flag=%02x", crNo, rec[0]);
    if (rec[1] != c)
        DcTrace("Invalid CDEV#. CR#=[%04x] Ret Cdev#=%02x", crNo, rec[1]);
    if (rec[2] != row)
        DcTrace("Invalid RDEV#. CR#=[%04x] Ret Rdev#=%02x", crNo, rec[2]);
    r->read.word8 = GetBe16(rec + 8);
    r->read.word10 = GetBe16(rec + 10);
    for (int i = 0; i < 16; i++)
        r->read.words12[i] = GetBe16(rec + 12 + 2 * i);
    r->read.word44 = GetBe16(rec + 44);
    DcTrace("Drive Read End");
    return 1;
}
