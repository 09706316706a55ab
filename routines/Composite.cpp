/* Routine C5 (drive read of the unit's first position) and the composites C0 and CF, which run
 * C1 to C4 one after the other and stop at the first that fails. Main thread. */
#include "routines/routines.h"
#include <string.h>

enum : uint8_t { STEP_C5_DRIVE_VALUE = 0x01, C5_ROW = 0 };

uint32_t RoutineC5(HWND wnd, uint16_t *failKind)
{
    static DriveResult result;
    *failKind = FAIL_CHECKS;
    uint8_t unit = UnitUnderTest();
    const uint16_t paths[2] = { g_run.mpIdMain, g_run.mpIdAlt };
    for (uint16_t mp : paths) {
        DcTrace("C5 Routine Start. CRdev#=%02x%02x MPID=%04x", unit, C5_ROW, mp);
        memset(&result, 0, sizeof result);
        if (!CmdDriveRead(mp, uint16_t(unit << 8 | C5_ROW), COM_TIMEOUT_S, &result)) {
            if (result.status != COM_CANCELLED)
                ReportTimeoutOne(wnd, mp, mp, unit, C5_ROW, REPORT_COUNT);
            *failKind = FailKindOf(result.status);
            return 0;
        }
        if (result.returnCode != 0) {
            g_err.errorStep = STEP_C5_DRIVE_VALUE;
            SetErrorInfo(REPORT_COUNT);
            ShowErrorReport(g_run.cfg.instance, wnd, mp, mp, unit, C5_ROW, g_err.errorRecord, REPORT_COUNT,
                            REPORT_WAIT_S);
            return 0;
        }
    }
    return 1;
}

/* Runs the sub-routines in order, routineId naming the one that runs; 0 at the first failure. */
static uint32_t RunComposite(HWND wnd, const char *startLine, const uint8_t *ids, const RoutineFn *fns,
                             size_t n, uint16_t *failKind)
{
    *failKind = FAIL_CHECKS;
    DcTrace("%s", startLine);
    for (size_t i = 0; i < n; i++) {
        g_run.routineId = ids[i];
        if (g_run.cfg.showStatus)
            g_run.cfg.showStatus(STATUS_RUNNING);
        if (!fns[i](wnd, failKind))
            return 0;
    }
    return 1;
}

uint32_t RoutineC0(HWND wnd, uint16_t *failKind)
{
    static const uint8_t ids[] = { ROUTINE_C1, ROUTINE_C2, ROUTINE_C4 };
    static const RoutineFn fns[] = { RoutineC1, RoutineC2, RoutineC4 };
    return RunComposite(wnd, "C0 Routine Start.", ids, fns, 3, failKind);
}

uint32_t RoutineCF(HWND wnd, uint16_t *failKind)
{
    static const uint8_t ids[] = { ROUTINE_C1, ROUTINE_C2, ROUTINE_C3, ROUTINE_C4 };
    static const RoutineFn fns[] = { RoutineC1, RoutineC2, RoutineC3, RoutineC4 };
    return RunComposite(wnd, "CF Routine Start.", ids, fns, 4, failKind);
}
