/* Unit and drive selection of an interactive Start, and the error list after a run. */
#include "shell/shell.h"
#include "svclib/mtpsvc.h"
#include <string.h>

/* Placeholder until the selection dialogs exist: clears the previous selection and results as
 * the Select Unit dialog does when it opens, then selects every equipped drive for routine CF
 * with run option 8, as "ALL HDD" followed by OK would. */
int RunSelectUnit(HWND owner)
{
    (void)owner;
    for (auto &unit : g_app.driveTable) {
        for (auto &entry : unit) {
            entry.selected = 0;
            entry.equipState = 0;
            entry.errorCode = 0;
        }
    }
    memset(g_app.unitList, UNIT_NONE, sizeof g_app.unitList);
    g_app.unitCount = 0;
    g_app.unitCursor = 0;
    memset(g_app.driveBitmap, 0, sizeof g_app.driveBitmap);
    for (uint32_t unit = 0; unit < UNIT_COUNT; unit++) {
        for (uint32_t row = 0; row < ROW_COUNT; row++) {
            uint16_t state = 0, ec = 0;
            if (GetPdevEquipState(uint16_t(unit << 8 | row), &state, &ec) && state == SVC_EQUIPPED)
                g_app.driveTable[unit][row].selected = 1;
        }
    }
    g_app.routineId = 0xCF;
    g_app.runOption = 8;
    return 1;
}

/* Placeholder until the Error HDD List dialog exists: the drives keep their codes. */
void ShowErrorList(HWND owner)
{
    (void)owner;
}
