/* The common pass of the multi-drive routines C1 to C4: per path, each command step for the
 * rows still selected, then the per-row judgement. A row that fails is reported and recorded at
 * once and is not addressed again. Main thread. */
#include "routines/routines.h"
#include <string.h>

typedef uint32_t (*MultiCmd)(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout,
                             DriveResult *r);

/* A routine's own check of a row whose report is good. */
enum : uint8_t { CHECK_NONE, CHECK_SENSE, CHECK_VENDOR, CHECK_RESULT };

/* One step of a routine: a command (or the delay when cmd is null), its whole-step and
 * per-row steps, and its own check with the step of its first failure (sense: three in a row). */
struct PassStep {
    MultiCmd cmd;
    uint8_t  allStep;
    uint8_t  rowStep;
    uint8_t  check;
    uint8_t  checkStep;
};

struct PassDef {
    const char     *startLine;
    const PassStep *steps;
    size_t          stepCount;
};

enum : uint32_t { VENDOR_COUNT = 3, VENDOR_LEN = 8, VENDOR_NONE = 4 };
enum : UINT { IDS_VENDOR_FIRST = 304 };

static const PassStep kC1Steps[] = {
    { CmdTestUnitReady, 0x01, 0x02, CHECK_NONE,  0    },
    { CmdRequestSense,  0x03, 0x04, CHECK_SENSE, 0x05 },
};
static const PassStep kC2Steps[] = {
    { CmdInquiry,       0x01, 0x02, CHECK_VENDOR, 0x03 },
};
static const PassStep kC3Steps[] = {
    { CmdStopUnit,      0x01, 0x02, CHECK_NONE,  0    },
    { nullptr,          0x03, 0,    CHECK_NONE,  0    },
    { CmdStartUnit,     0x04, 0x05, CHECK_NONE,  0    },
    { CmdTestUnitReady, 0x06, 0x07, CHECK_NONE,  0    },
    { CmdRequestSense,  0x08, 0x09, CHECK_SENSE, 0x0A },
};
static const PassStep kC4Steps[] = {
    { CmdSelfTest,      0x01, 0x02, CHECK_RESULT, 0x03 },
};

static const PassDef kC1 = { "C1 Routine Start. CRdev#=%02x%02x MPID=%04x", kC1Steps, 2 };
static const PassDef kC2 = { "C2 Routine Start. CRdev#=%02x%02x MPID=%04x", kC2Steps, 1 };
static const PassDef kC3 = { "C3 Routine Start. CRdev#=%02x%02x MPID=%04x", kC3Steps, 5 };
static const PassDef kC4 = { "C4 Routine Start. CRdev#=%02x%02x MPID=%04x", kC4Steps, 1 };

/* The accepted vendor identifications, loaded when C2 starts. */
static char g_vendors[VENDOR_COUNT][VENDOR_LEN + 1];

uint8_t UnitUnderTest()
{
    return g_run.unitCursor < UNIT_LIST_LEN ? g_run.unitList[g_run.unitCursor] : uint8_t(UNIT_NONE);
}

uint8_t FirstRowUnderTest()
{
    for (uint32_t row = 0; row < ROW_COUNT; row++)
        if (g_run.rowSelected[row] == 1)
            return uint8_t(row);
    return 0;
}

const char *DriveUnderTestName()
{
    uint32_t unit = UnitUnderTest();
    if (unit >= UNIT_COUNT)
        return " ";
    return g_run.driveTable[unit][FirstRowUnderTest()].name;
}

int BuildRowBitmap(uint32_t rows[3])
{
    int any = 0;
    rows[0] = rows[1] = rows[2] = 0;
    for (uint32_t row = 0; row < ROW_COUNT; row++) {
        if (g_run.rowSelected[row] != 1)
            continue;
        rows[row >> 5] |= 0x80000000u >> (row & 31);
        any = 1;
    }
    return any;
}

static int AnyRowSelected()
{
    uint32_t rows[3];
    return BuildRowBitmap(rows);
}

/* The own check of a good report: 0 passed, else the failing step with detail byte 0 set. */
static uint8_t OwnCheck(const PassStep &step, const RowResult &e)
{
    switch (step.check) {
    case CHECK_SENSE: {
        const uint8_t sense[3] = { e.senseKey, e.senseCodeHi, e.senseCodeLow };
        for (uint8_t i = 0; i < 3; i++)
            if (sense[i] != 0) {
                g_err.errorDetail[0] = sense[i];
                return uint8_t(step.checkStep + i);
            }
        return 0;
    }
    case CHECK_RESULT:
        if (e.result == 0)
            return 0;
        g_err.errorDetail[0] = e.result;
        return step.checkStep;
    case CHECK_VENDOR: {
        char got[VENDOR_LEN + 1] = {};
        strncpy(got, e.vendorId, VENDOR_LEN);
        for (uint32_t i = 0; i < VENDOR_COUNT; i++)
            /* An entry the table lacks accepts nothing, not an empty identification. */
            if (g_vendors[i][0] && strncmp(got, g_vendors[i], VENDOR_LEN) == 0) {
                g_err.vendorMatch = uint16_t(i + 1);
                return 0;
            }
        g_err.vendorMatch = VENDOR_NONE;
        memcpy(g_err.errorDetail, got, VENDOR_LEN);
        return step.checkStep;
    }
    default:
        return 0;
    }
}

/* Judges row r of a reply; a failure is reported and recorded at once. */
static void JudgeRow(HWND wnd, const PassStep &step, uint16_t mp, uint8_t unit, uint32_t r,
                     const RowResult &e)
{
    if (e.valid != 1) {
        g_err.errorStep = step.rowStep;
        g_err.errorDetail[1] = DETAIL_NO_REPORT;
        ReportRow(wnd, mp, unit, uint8_t(r));
        return;
    }
    /* The report names its drive. A drive outside the table cannot be under test: the failure
     * then stays with the row whose entry it was. */
    if (e.unit >= UNIT_COUNT || e.row >= ROW_COUNT) {
        g_err.errorStep = step.rowStep;
        g_err.errorDetail[1] = DETAIL_WRONG_ROW;
        ReportRow(wnd, mp, unit, uint8_t(r));
        return;
    }
    if (g_run.rowSelected[e.row] != 1) {
        g_err.errorStep = step.rowStep;
        g_err.errorDetail[1] = DETAIL_WRONG_ROW;
        ReportRow(wnd, mp, e.unit, e.row);
        return;
    }
    if (e.errorByte != 0) {
        g_err.errorStep = step.rowStep;
        g_err.errorDetail[0] = e.errorByte;
        ReportRow(wnd, mp, e.unit, e.row);
        return;
    }
    uint8_t failed = OwnCheck(step, e);
    if (failed) {
        g_err.errorStep = failed;
        ReportRow(wnd, mp, e.unit, e.row);
    }
}

/* One step on one path: 1 to go on, 0 when the routine ends (*failKind set). */
static int RunStep(HWND wnd, const PassStep &step, uint16_t mp, uint16_t *failKind)
{
    static DriveResult result;
    uint32_t rows[3];
    uint8_t unit = UnitUnderTest();
    uint8_t first = FirstRowUnderTest();
    if (!BuildRowBitmap(rows))
        return 0;
    if (!step.cmd) {
        if (!Delay(g_run.cfg.instance, wnd, DELAY_C3_S)) {
            g_err.errorStep = step.allStep;
            ReportAllRows(wnd, mp, mp, unit, REPORT_COUNT, REPORT_WAIT_S);
            return 0;
        }
        return 1;
    }
    memset(&result, 0, sizeof result);
    if (!step.cmd(mp, unit, rows, COM_TIMEOUT_S, &result)) {
        *failKind = FailKindOf(result.status);
        if (result.status != COM_CANCELLED)
            ReportTimeoutAll(wnd, mp, mp, unit, first, REPORT_COUNT);
        return 0;
    }
    NotePassReply();
    if (result.returnCode != 0) {
        g_err.errorStep = step.allStep;
        ReportAllRows(wnd, mp, mp, unit, REPORT_COUNT, REPORT_WAIT_S);
        return 0;
    }
    for (uint32_t r = 0; r < ROW_COUNT; r++)
        if (g_run.rowSelected[r] == 1)
            JudgeRow(wnd, step, mp, unit, r, result.rows[r]);
    return 1;
}

static uint32_t RunPass(HWND wnd, const PassDef &def, uint16_t *failKind)
{
    *failKind = FAIL_CHECKS;
    const uint16_t paths[2] = { g_run.mpIdMain, g_run.mpIdAlt };
    for (uint16_t mp : paths) {
        DcTrace(def.startLine, UnitUnderTest(), FirstRowUnderTest(), mp);
        for (size_t i = 0; i < def.stepCount; i++)
            if (!RunStep(wnd, def.steps[i], mp, failKind))
                return 0;
    }
    return AnyRowSelected() ? 1 : 0;
}

uint32_t RoutineC1(HWND wnd, uint16_t *failKind) { return RunPass(wnd, kC1, failKind); }

uint32_t RoutineC2(HWND wnd, uint16_t *failKind)
{
    for (uint32_t i = 0; i < VENDOR_COUNT; i++)
        if (LoadStringA(g_run.cfg.instance, IDS_VENDOR_FIRST + i, g_vendors[i], sizeof g_vendors[i]) <= 0)
            g_vendors[i][0] = '\0';
    return RunPass(wnd, kC2, failKind);
}

uint32_t RoutineC3(HWND wnd, uint16_t *failKind) { return RunPass(wnd, kC3, failKind); }
uint32_t RoutineC4(HWND wnd, uint16_t *failKind) { return RunPass(wnd, kC4, failKind); }
