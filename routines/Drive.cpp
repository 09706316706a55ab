/* The single-path maintenance routines D8 (Confirm of Connection), D2 (Start Drive) and
 * D0 (Stop Drive). Main thread. */
#include "routines/routines.h"
#include <string.h>

typedef uint32_t (*MultiCmd)(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout,
                             DriveResult *r);

enum : uint8_t { STEP_D8_TUR = 0x08 };
enum : uint8_t { TUR_NOT_READY_RESULT = 0x17, STOPPED_SENSE_KEY = 0x02, STOPPED_ASC = 0x04,
                 STOPPED_ASCQ = 0x02 };
enum : uint32_t { RC_STOP_REFUSED = 0x0F001740 };

/* A step of D2 and D0: a command, the step of its failure to deliver, of a non-zero return code
 * (0: not checked) and of the first of the three sense checks on its drive's row (0: none). */
struct DriveStep {
    MultiCmd cmd;
    uint8_t  undelivered;
    uint8_t  refused;
    uint8_t  senseStep;
};

static const DriveStep kStart[] = {
    { CmdStartUnit,     0x0B, 0x0C, 0    },
    { CmdTestUnitReady, 0x0D, 0x0E, 0    },
    { CmdRequestSense,  0x0F, 0,    0x10 },
};

static DriveResult g_result;
static const char kJumperPin[] = "Pullout Jumper Pin.";

/* D0's request to the engineer; the routine goes on when the box is closed. A hidden run has
 * nobody to answer it: the text goes to the trace and the run goes on as if OK was pressed. */
static void AskJumperPin(HWND wnd)
{
    if (g_run.cfg.displayMode != DISPLAY_INTERACTIVE) {
        DcTrace("%s", kJumperPin);
        return;
    }
    MessageBoxA(wnd, kJumperPin, "Vestra", MB_OK);
}

/* Builds the record and reports it for the drive on mp; always 0 (the routine has failed). */
static uint32_t Fail(HWND wnd, uint16_t mp, uint8_t unit, uint8_t row, uint8_t step, int fromReply)
{
    g_err.errorStep = step;
    if (fromReply)
        CopyReplyDetail();
    SetErrorInfo(REPORT_COUNT);
    ShowErrorReport(g_run.cfg.instance, wnd, mp, mp, unit, row, g_err.errorRecord, REPORT_COUNT,
                    REPORT_WAIT_S);
    return 0;
}

/* A command that was not delivered (timed out, or stopped by the user, which these routines
 * count alike): the drive's number as detail bytes 0 and 1. */
static uint32_t FailUndelivered(HWND wnd, uint16_t mp, uint8_t unit, uint8_t row, uint8_t step)
{
    g_err.errorDetail[0] = unit;
    g_err.errorDetail[1] = row;
    return Fail(wnd, mp, unit, row, step, 0);
}

/* Sends one command of a step to the rows under test; 1 delivered. */
static int Send(MultiCmd cmd, uint16_t mp, uint8_t unit)
{
    uint32_t rows[3];
    BuildRowBitmap(rows);
    memset(&g_result, 0, sizeof g_result);
    if (!cmd(mp, unit, rows, COM_TIMEOUT_S, &g_result))
        return 0;
    NotePassReply();
    return 1;
}

/* First of the three sense bytes of a row that is not 0, as an offset 0..2; 3 when all are 0. */
static uint8_t SenseOffset(const RowResult &e)
{
    const uint8_t sense[3] = { e.senseKey, e.senseCodeHi, e.senseCodeLow };
    for (uint8_t i = 0; i < 3; i++)
        if (sense[i] != 0)
            return i;
    return 3;
}

/* Runs steps in order for the drive (unit, row), judging `judged` row's entry; 1 when all pass. */
static uint32_t RunSteps(HWND wnd, const DriveStep *steps, size_t n, uint16_t mp, uint8_t unit,
                         uint8_t row, uint8_t judged)
{
    for (size_t i = 0; i < n; i++) {
        const DriveStep &s = steps[i];
        if (!Send(s.cmd, mp, unit))
            return FailUndelivered(wnd, mp, unit, row, s.undelivered);
        if (s.refused && g_result.returnCode != 0)
            return Fail(wnd, mp, unit, row, s.refused, 1);
        uint8_t off = s.senseStep ? SenseOffset(g_result.rows[judged]) : 3;
        if (off < 3)
            return Fail(wnd, mp, unit, row, uint8_t(s.senseStep + off), 1);
    }
    return 1;
}

uint32_t RoutineD8(HWND wnd, uint16_t *failKind)
{
    *failKind = FAIL_CHECKS;
    uint16_t mp = g_run.cluster == 1 ? g_run.mpIdAlt : g_run.mpIdMain;
    uint8_t unit = UnitUnderTest();
    DcTrace("D8 Routine Start. CRdev#=%02x%02x MPID=%04x", unit, 0, mp);
    uint32_t rows[3];
    BuildRowBitmap(rows);
    memset(&g_result, 0, sizeof g_result);
    if (!CmdTestUnitReady(mp, unit, rows, COM_TIMEOUT_S, &g_result)) {
        if (g_result.status != COM_CANCELLED)
            ReportTimeoutOne(wnd, mp, mp, unit, 0, REPORT_COUNT);
        *failKind = FailKindOf(g_result.status);
        return 0;
    }
    NotePassReply();
    /* The per-row results are not examined: D8 asks only whether the controller reaches them. */
    if (g_result.returnCode != 0)
        return Fail(wnd, mp, unit, 0, STEP_D8_TUR, 1);
    return 1;
}

uint32_t RoutineD2(HWND wnd, uint16_t *failKind)
{
    *failKind = FAIL_CHECKS;
    return RunSteps(wnd, kStart, std::size(kStart), g_run.mpIdMain, UnitUnderTest(), 0, 0);
}

/* D0's check that the stopped drive says so: 0 passed, else the failing step. The drive's own
 * row entry is judged; a drive that still reports ready fails with 0x04. */
static uint8_t StoppedCheck(const RowResult &e)
{
    if (e.valid == 1 && e.errorByte == 0 && e.result == 0)
        return 0x04;
    if (g_result.returnCode == RC_STOP_REFUSED)
        return 0x05;
    if (e.result != TUR_NOT_READY_RESULT)
        return 0x06;
    if (e.senseKey != STOPPED_SENSE_KEY)
        return 0x07;
    if (e.senseCodeHi != STOPPED_ASC)
        return 0x08;
    if (e.senseCodeLow != STOPPED_ASCQ)
        return 0x09;
    return 0;
}

uint32_t RoutineD0(HWND wnd, uint16_t *failKind)
{
    *failKind = FAIL_CHECKS;
    uint16_t mp = g_run.mpIdMain;
    uint8_t unit = UnitUnderTest(), row = FirstRowUnderTest();
    const RowResult &e = g_result.rows[row];

    /* 1, 2: stop the drive; it must then report that it is not ready. */
    if (!Send(CmdStopUnit, mp, unit))
        return FailUndelivered(wnd, mp, unit, row, 0x01);
    if (g_result.returnCode != 0)
        return Fail(wnd, mp, unit, row, 0x02, 1);
    if (!Send(CmdTestUnitReady, mp, unit))
        return FailUndelivered(wnd, mp, unit, row, 0x03);
    uint8_t step = StoppedCheck(e);
    if (step)
        return Fail(wnd, mp, unit, row, step, 1);

    /* 3, 4: the reject lamp shows the engineer the drive; its answer is not examined. */
    uint32_t drives[ROW_COUNT];
    ClearWords(drives, ROW_COUNT);
    MarkDrive(drives, ROW_COUNT, uint16_t(unit << 8 | row));
    memset(&g_result, 0, sizeof g_result);
    if (!CmdRejectLamp(mp, drives, COM_TIMEOUT_S, &g_result))
        return FailUndelivered(wnd, mp, unit, row, 0x21);
    AskJumperPin(wnd);

    /* 5 to 7: start it again. */
    return RunSteps(wnd, kStart, std::size(kStart), mp, unit, row, row);
}
