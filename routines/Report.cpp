/* Error record, its texts, the launch block copy of an automatic run, and the reports that
 * take failing drives out of the test. Main thread. */
#include "routines/routines.h"
#include "base/launch.h"
#include <stdio.h>
#include <string.h>

enum : uint8_t { COMMON_STEP_FIRST = 0xE0, COMMON_STEP_LAST = 0xEF };
enum : uint16_t { COMMON_TEXT_BASE = 0xEC00, DETAIL_MAX = 16 };
enum : size_t { TAIL_LEN = 5, DETAIL_RC = 0, DETAIL_TAIL = 4 };

ErrorState g_err;

UINT ErrorTextId(uint16_t code)
{
    uint8_t step = uint8_t(code);
    return step >= COMMON_STEP_FIRST && step <= COMMON_STEP_LAST ? COMMON_TEXT_BASE | step : code;
}

void LoadErrorText(uint16_t code)
{
    if (LoadStringA(g_run.cfg.instance, ErrorTextId(code), g_err.errorContents, sizeof g_err.errorContents) <= 0)
        snprintf(g_err.errorContents, sizeof g_err.errorContents, " ");
}

void SetErrorInfo(uint16_t count)
{
    if (count > DETAIL_MAX)
        count = DETAIL_MAX;
    g_err.errorRoutine = uint8_t(g_run.routineId);
    g_err.errorRecord[0] = g_err.errorRoutine;
    g_err.errorRecord[1] = g_err.errorStep;
    memcpy(g_err.errorRecord + 2, g_err.errorDetail, count);
    if (g_run.cfg.displayMode == DISPLAY_INTERACTIVE) {
        size_t at = 0;
        for (uint16_t i = 0; i < count; i++)
            at += snprintf(g_err.errorCodeText + at, sizeof g_err.errorCodeText - at, "%02X ",
                           g_err.errorRecord[i]);
    } else if (g_run.cfg.displayMode == DISPLAY_AUTOMATIC && g_run.cfg.launchBlock) {
        LaunchPutError(g_run.cfg.launchBlock, g_err.errorRoutine, g_err.errorStep, g_err.errorDetail, count);
    }
    LoadErrorText(uint16_t(g_err.errorRoutine << 8 | g_err.errorStep));
}

void RecordDriveError(uint32_t unit, uint32_t row)
{
    /* A reply may name any drive; one outside the table has no entry to mark. */
    if (unit >= UNIT_COUNT || row >= ROW_COUNT)
        return;
    g_run.driveTable[unit][row].errorCode = uint16_t(g_err.errorRoutine << 8 | g_err.errorStep);
    g_run.rowSelected[row] = 0;
}

void NotePassReply()
{
    g_err.passReplyTail[0] = g_dc.comRArea[HEAD_STATUS];
    memcpy(g_err.passReplyTail + 1, g_dc.comRArea + HEAD_RC, RC_LEN);
    g_err.passReplySeen = 1;
}

int CopyReplyDetail()
{
    /* comResult holds the return code's bytes as they came, most significant first. A refused
     * path command is reported before any pass-through reply, so its code is always copied. */
    for (uint32_t i = 0; i < RC_LEN; i++)
        g_err.errorDetail[DETAIL_RC + i] = g_dc.comResult[i];
    if (g_err.passReplySeen != 1)
        return 0;
    memcpy(g_err.errorDetail + DETAIL_TAIL, g_err.passReplyTail, TAIL_LEN);
    return 1;
}

void ReportRow(HWND owner, uint16_t mp, uint8_t unit, uint8_t row)
{
    SetErrorInfo(REPORT_COUNT);
    ShowErrorReport(g_run.cfg.instance, owner, mp, mp, unit, row, g_err.errorRecord, REPORT_COUNT, REPORT_WAIT_S);
    RecordDriveError(unit, row);
}

void ReportAllRows(HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit, uint16_t count,
                   uint16_t seconds)
{
    CopyReplyDetail();
    SetErrorInfo(count);
    for (uint32_t row = 0; row < ROW_COUNT; row++) {
        if (g_run.rowSelected[row] != 1)
            continue;
        ShowErrorReport(g_run.cfg.instance, owner, mainMp, subMp, unit, uint8_t(row), g_err.errorRecord, count,
                        seconds);
        RecordDriveError(unit, row);
    }
}

static void ReportTimeout(HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit, uint8_t row,
                          uint16_t count)
{
    g_err.errorStep = STEP_TIMEOUT;
    g_err.errorDetail[0] = unit;
    g_err.errorDetail[1] = row;
    SetErrorInfo(count);
    ShowErrorReport(g_run.cfg.instance, owner, mainMp, subMp, unit, row, g_err.errorRecord, count, REPORT_WAIT_S);
}

void ReportTimeoutAll(HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit, uint8_t row,
                      uint16_t count)
{
    ReportTimeout(owner, mainMp, subMp, unit, row, count);
    for (uint32_t r = 0; r < ROW_COUNT; r++)
        if (g_run.rowSelected[r] == 1)
            RecordDriveError(unit, r);
}

void ReportTimeoutOne(HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit, uint8_t row,
                      uint16_t count)
{
    ReportTimeout(owner, mainMp, subMp, unit, row, count);
}
