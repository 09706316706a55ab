/* Error record, its texts, the launch block copy of an automatic run, and the reports that
 * take failing drives out of the test. Main thread. */
#include "routines/routines.h"
#include <stdio.h>
#include <string.h>

enum : size_t { LB_ERROR_ROUTINE = 337, LB_ERROR_STEP = 338, LB_ERROR_DETAIL = 339 };
enum : uint8_t { COMMON_STEP_FIRST = 0xE0, COMMON_STEP_LAST = 0xEF };
enum : uint16_t { COMMON_TEXT_BASE = 0xEC00, DETAIL_MAX = 16 };
/* Where a pass-through reply states how its rows went and its return code. */
enum : size_t { REPLY_ROWS_STATE = 1058, REPLY_RC = 1183, REPLY_RC_LEN = 4, TAIL_LEN = 5 };
enum : size_t { DETAIL_RC = 0, DETAIL_TAIL = 4 };

UINT ErrorTextId(uint16_t code)
{
    uint8_t step = uint8_t(code);
    return step >= COMMON_STEP_FIRST && step <= COMMON_STEP_LAST ? COMMON_TEXT_BASE | step : code;
}

void LoadErrorText(uint16_t code)
{
    if (LoadStringA(g_app.instance, ErrorTextId(code), g_app.errorContents, sizeof g_app.errorContents) <= 0)
        snprintf(g_app.errorContents, sizeof g_app.errorContents, " ");
}

void SetErrorInfo(uint16_t count)
{
    if (count > DETAIL_MAX)
        count = DETAIL_MAX;
    g_app.errorRoutine = uint8_t(g_app.routineId);
    g_app.errorRecord[0] = g_app.errorRoutine;
    g_app.errorRecord[1] = g_app.errorStep;
    memcpy(g_app.errorRecord + 2, g_app.errorDetail, count);
    if (g_app.displayMode == DISPLAY_INTERACTIVE) {
        size_t at = 0;
        for (uint16_t i = 0; i < count; i++)
            at += snprintf(g_app.errorCodeText + at, sizeof g_app.errorCodeText - at, "%02X ",
                           g_app.errorRecord[i]);
    } else if (g_app.displayMode == DISPLAY_AUTOMATIC && g_app.launchBlock) {
        g_app.launchBlock[LB_ERROR_ROUTINE] = g_app.errorRoutine;
        g_app.launchBlock[LB_ERROR_STEP] = g_app.errorStep;
        memcpy(g_app.launchBlock + LB_ERROR_DETAIL, g_app.errorDetail, count);
    }
    LoadErrorText(uint16_t(g_app.errorRoutine << 8 | g_app.errorStep));
}

void RecordDriveError(uint32_t unit, uint32_t row)
{
    /* A reply may name any drive; one outside the table has no entry to mark. */
    if (unit >= UNIT_COUNT || row >= ROW_COUNT)
        return;
    g_app.driveTable[unit][row].errorCode = uint16_t(g_app.errorRoutine << 8 | g_app.errorStep);
    g_app.rowSelected[row] = 0;
}

void NotePassReply()
{
    g_app.passReplyTail[0] = g_app.comRArea[REPLY_ROWS_STATE];
    memcpy(g_app.passReplyTail + 1, g_app.comRArea + REPLY_RC, REPLY_RC_LEN);
    g_app.passReplySeen = 1;
}

int CopyReplyDetail()
{
    /* comResult holds the return code's bytes as they came, most significant first. A refused
     * path command is reported before any pass-through reply, so its code is always copied. */
    uint32_t rc = g_app.comResult;
    memcpy(g_app.errorDetail + DETAIL_RC, &rc, REPLY_RC_LEN);
    if (g_app.passReplySeen != 1)
        return 0;
    memcpy(g_app.errorDetail + DETAIL_TAIL, g_app.passReplyTail, TAIL_LEN);
    return 1;
}

void ReportRow(HWND owner, uint16_t mp, uint8_t unit, uint8_t row)
{
    SetErrorInfo(REPORT_COUNT);
    ShowErrorReport(g_app.instance, owner, mp, mp, unit, row, REPORT_COUNT, REPORT_WAIT_S);
    RecordDriveError(unit, row);
}

void ReportAllRows(HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit, uint16_t count,
                   uint16_t seconds)
{
    CopyReplyDetail();
    SetErrorInfo(count);
    for (uint32_t row = 0; row < ROW_COUNT; row++) {
        if (g_app.rowSelected[row] != 1)
            continue;
        ShowErrorReport(g_app.instance, owner, mainMp, subMp, unit, uint8_t(row), count, seconds);
        RecordDriveError(unit, row);
    }
}

static void ReportTimeout(HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit, uint8_t row,
                          uint16_t count)
{
    g_app.errorStep = STEP_TIMEOUT;
    g_app.errorDetail[0] = unit;
    g_app.errorDetail[1] = row;
    SetErrorInfo(count);
    ShowErrorReport(g_app.instance, owner, mainMp, subMp, unit, row, count, REPORT_WAIT_S);
}

void ReportTimeoutAll(HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit, uint8_t row,
                      uint16_t count)
{
    ReportTimeout(owner, mainMp, subMp, unit, row, count);
    for (uint32_t r = 0; r < ROW_COUNT; r++)
        if (g_app.rowSelected[r] == 1)
            RecordDriveError(unit, r);
}

void ReportTimeoutOne(HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit, uint8_t row,
                      uint16_t count)
{
    ReportTimeout(owner, mainMp, subMp, unit, row, count);
}
