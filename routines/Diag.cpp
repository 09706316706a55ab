/* Diagnosis framing around one unit: drives bypassed on a path come back into the loop for the
 * test and are bypassed again afterwards; interactive runs also open and close the inline test
 * on the controller. Main thread. */
#include "routines/routines.h"
#include <string.h>

typedef uint32_t (*PathCmd)(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout,
                            DriveResult *r);

enum : uint32_t { PATH_COUNT = 2 };

/* Per row and path, from StartDiag to EndDiag of one unit. */
static uint8_t g_bypass[ROW_COUNT][PATH_COUNT];
static DriveResult g_result;

uint8_t BypassState(uint32_t row, uint32_t path)
{
    return row < ROW_COUNT && path < PATH_COUNT ? g_bypass[row][path] : uint8_t(BYPASS_NONE);
}

/* Unit row words of the selected rows; 0 when none is selected. */
static int SelectedWords(uint8_t unit, uint32_t words[ROW_COUNT])
{
    int any = 0;
    ClearWords(words, ROW_COUNT);
    for (uint32_t row = 0; row < ROW_COUNT; row++)
        if (g_run.rowSelected[row] == 1) {
            words[row] = UnitBit(unit);
            any = 1;
        }
    return any;
}

/* Unit row words of the rows found bypassed on a path; the last such row in *last. */
static int BypassedWords(uint8_t unit, uint32_t path, uint32_t words[ROW_COUNT], uint8_t *last)
{
    int any = 0;
    ClearWords(words, ROW_COUNT);
    for (uint32_t row = 0; row < ROW_COUNT; row++)
        if (g_bypass[row][path] == BYPASS_FOUND) {
            words[row] = UnitBit(unit);
            *last = uint8_t(row);
            any = 1;
        }
    return any;
}

/* Reports of the framing name the path pair of the unit. The rows found bypassed on a path fail with the current error step: one report each (or, for
 * a time-out, one report in all), each recorded and no longer restored. */
static void FailBypassed(HWND wnd, uint8_t unit, uint32_t path, uint8_t last, int timedOut)
{
    if (timedOut)
        ReportTimeoutOne(wnd, g_run.mpIdMain, g_run.mpIdAlt, unit, last, REPORT_COUNT);
    else {
        CopyReplyDetail();
        SetErrorInfo(REPORT_COUNT);
    }
    for (uint32_t row = 0; row < ROW_COUNT; row++) {
        if (g_bypass[row][path] != BYPASS_FOUND)
            continue;
        if (!timedOut)
            ShowErrorReport(g_run.cfg.instance, wnd, g_run.mpIdMain, g_run.mpIdAlt, unit, uint8_t(row),
                            g_err.errorRecord, REPORT_COUNT, REPORT_WAIT_S);
        RecordDriveError(unit, row);
        g_bypass[row][path] = BYPASS_FAILED;
    }
}

/* Reset Bypass, LIP or Set Bypass for the rows bypassed on a path. 1 done, 0 when the rows
 * failed (reported and recorded); *failKind set when the command was not delivered. */
static int BypassCommand(HWND wnd, PathCmd cmd, uint8_t step, uint16_t mp, uint8_t unit,
                         uint32_t path, uint16_t *failKind)
{
    uint32_t words[ROW_COUNT];
    uint8_t last = 0;
    if (!BypassedWords(unit, path, words, &last))
        return 1;
    memset(&g_result, 0, sizeof g_result);
    if (!cmd(mp, words, COM_TIMEOUT_S, &g_result)) {
        *failKind = FailKindOf(g_result.status);
        if (g_result.status != COM_CANCELLED)
            FailBypassed(wnd, unit, path, last, 1);
        return 0;
    }
    if (g_result.returnCode != 0) {
        g_err.errorStep = step;
        FailBypassed(wnd, unit, path, last, 0);
        return 0;
    }
    return 1;
}

/* Start Inline or End Inline on mpIdMain: 1, or 0 after a failure that ends the operation. */
static int InlineCommand(HWND wnd, int start, uint16_t *failKind)
{
    uint8_t unit = UnitUnderTest(), first = FirstRowUnderTest();
    uint16_t mp = g_run.mpIdMain;
    memset(&g_result, 0, sizeof g_result);
    uint32_t ok = start ? CmdStartInline(mp, uint16_t(unit << 8 | first), COM_TIMEOUT_S, &g_result)
                        : CmdEndInline(mp, uint16_t(unit << 8 | first), COM_TIMEOUT_S, &g_result);
    if (!ok) {
        if (g_result.status != COM_CANCELLED)
            ReportTimeoutAll(wnd, mp, g_run.mpIdAlt, unit, first, REPORT_COUNT);
        *failKind = FailKindOf(g_result.status);
        return 0;
    }
    if (g_result.returnCode != 0) {
        g_err.errorStep = STEP_INLINE;
        ReportAllRows(wnd, mp, g_run.mpIdAlt, unit, REPORT_COUNT, REPORT_WAIT_S);
        DcTrace(start ? "Start Diag was failed.  Return Code : %08lx"
                      : "End Diag was failed.  Return Code : %08lx",
                (unsigned long)g_result.returnCode);
        return 0;
    }
    return 1;
}

static int AnySelected()
{
    uint32_t rows[3];
    return BuildRowBitmap(rows);
}

int StartDiag(HWND wnd, uint16_t *failKind)
{
    memset(g_bypass, 0, sizeof g_bypass);
    if (g_run.routineId == ROUTINE_D8 || g_run.routineId == ROUTINE_D1)
        return 1;
    const uint16_t paths[PATH_COUNT] = { g_run.mpIdMain, g_run.mpIdAlt };
    uint8_t unit = UnitUnderTest();
    uint32_t words[ROW_COUNT];
    for (uint32_t p = 0; p < PATH_COUNT; p++) {
        uint16_t mp = paths[p];
        if (!SelectedWords(unit, words)) {
            *failKind = FAIL_CHECKS;
            return 0;
        }
        memset(&g_result, 0, sizeof g_result);
        if (!CmdCheckBypass(mp, words, COM_TIMEOUT_S, &g_result)) {
            if (g_result.status != COM_CANCELLED)
                ReportTimeoutAll(wnd, g_run.mpIdMain, g_run.mpIdAlt, unit, FirstRowUnderTest(), REPORT_COUNT);
            *failKind = FailKindOf(g_result.status);
            return 0;
        }
        if (g_result.returnCode != 0) {
            g_err.errorStep = STEP_BYPASS_CHECK;
            ReportAllRows(wnd, g_run.mpIdMain, g_run.mpIdAlt, unit, REPORT_COUNT, REPORT_WAIT_S);
            *failKind = FAIL_CHECKS;
            return 0;
        }
        /* Only rows under test come back into the loop: a report may name any drive. */
        int found = 0;
        for (uint32_t row = 0; row < ROW_COUNT; row++)
            if ((g_result.path.bypass[row] & UnitBit(unit)) && g_run.rowSelected[row] == 1) {
                g_bypass[row][p] = BYPASS_FOUND;
                found = 1;
            }
        if (!found)
            continue;
        if (BypassCommand(wnd, CmdResetBypass, STEP_RESET_BYPASS, mp, unit, p, failKind))
            BypassCommand(wnd, CmdLip, STEP_LIP, mp, unit, p, failKind);
    }
    if (g_run.cfg.displayMode == DISPLAY_INTERACTIVE && !InlineCommand(wnd, 1, failKind))
        return 0;
    if (!AnySelected()) {
        *failKind = FAIL_CHECKS;
        return 0;
    }
    return 1;
}

int EndDiag(HWND wnd, uint16_t *failKind)
{
    if (g_run.routineId == ROUTINE_D1)
        return 1;
    if (g_run.cfg.displayMode == DISPLAY_INTERACTIVE && !InlineCommand(wnd, 0, failKind))
        return 0;
    const uint16_t paths[PATH_COUNT] = { g_run.mpIdMain, g_run.mpIdAlt };
    uint8_t unit = UnitUnderTest();
    for (uint32_t p = 0; p < PATH_COUNT; p++)
        BypassCommand(wnd, CmdSetBypass, STEP_SET_BYPASS, paths[p], unit, p, failKind);
    if (!AnySelected()) {
        if (*failKind != FAIL_STOPPED && *failKind != FAIL_TIMEOUT)
            *failKind = FAIL_CHECKS;
        return 0;
    }
    return 1;
}
