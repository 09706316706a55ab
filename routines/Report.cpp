/* Error record, its texts and the launch block copy of an automatic run. Main thread. */
#include "routines/routines.h"
#include <stdio.h>
#include <string.h>

enum : size_t { LB_ERROR_ROUTINE = 337, LB_ERROR_STEP = 338, LB_ERROR_DETAIL = 339 };
enum : uint8_t { COMMON_STEP_FIRST = 0xE0, COMMON_STEP_LAST = 0xEF };
enum : uint16_t { COMMON_TEXT_BASE = 0xEC00, DETAIL_MAX = 16 };

void LoadErrorText(uint16_t code)
{
    uint8_t step = uint8_t(code);
    UINT id = step >= COMMON_STEP_FIRST && step <= COMMON_STEP_LAST ? COMMON_TEXT_BASE | step : code;
    if (LoadStringA(g_app.instance, id, g_app.errorContents, sizeof g_app.errorContents) <= 0)
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

