/* The routine catalogue and the dispatcher that turns a routine's result and the run option
 * into what the run sequence does next. Main thread. */
#include "routines/routines.h"

RunState g_run;

/* Name of a drive of the table; " " outside it. */
static const char *DriveNameOf(uint32_t unit, uint32_t row)
{
    return unit < UNIT_COUNT && row < ROW_COUNT ? g_run.driveTable[unit][row].name : " ";
}

void ConfigureRoutines(const RunConfig &cfg)
{
    g_run.cfg = cfg;
    DcConfig dc = {};
    dc.instance = cfg.instance;
    dc.mainWnd = cfg.mainWnd;
    dc.displayMode = cfg.displayMode;
    dc.debugMode = cfg.debugMode;
    dc.tmpDirFlag = cfg.tmpDirFlag;
    dc.driveUnderTest = DriveUnderTestName;
    dc.driveName = DriveNameOf;
    ConfigureDriveCommands(dc);
}

uint16_t FailKindOf(uint16_t status)
{
    switch (status) {
    case COM_TIMED_OUT: return FAIL_TIMEOUT;
    case COM_CANCELLED: return FAIL_STOPPED;
    default:            return FAIL_REFUSED;    /* delivered, and refused by the controller */
    }
}

struct CatalogueEntry {
    uint8_t   id;
    RoutineFn fn;
};

static const CatalogueEntry kCatalogue[] = {
    { ROUTINE_C0, RoutineC0 },
    { ROUTINE_C1, RoutineC1 },
    { ROUTINE_C2, RoutineC2 },
    { ROUTINE_C3, RoutineC3 },
    { ROUTINE_C4, RoutineC4 },
    { ROUTINE_C5, RoutineC5 },
    { ROUTINE_CF, RoutineCF },
    { ROUTINE_D0, RoutineD0 },
    { ROUTINE_D1, RoutineD1 },
    { ROUTINE_D2, RoutineD2 },
    { ROUTINE_D8, RoutineD8 },
};

enum : uint32_t { ROUTINE_SPAN = 0x18 };

RoutineFn FindRoutine(uint32_t routineId)
{
    if (routineId < ROUTINE_C0 || routineId - ROUTINE_C0 > ROUTINE_SPAN)
        return nullptr;
    for (const CatalogueEntry &e : kCatalogue)
        if (e.id == routineId)
            return e.fn;
    return nullptr;
}

static int IsComposite(uint32_t id) { return id == ROUTINE_C0 || id == ROUTINE_CF; }

/* D8's outcome in equipState of the current unit's row 0; 1 when id is D8. */
static int NoteConnection(uint32_t id, uint16_t state)
{
    if (id != ROUTINE_D8)
        return 0;
    uint32_t unit = UnitUnderTest();
    if (unit < UNIT_COUNT)
        g_run.driveTable[unit][0].equipState = state;
    return 1;
}

/* The loop and error-invalid options count only when one unit is under test. */
static uint16_t ApplyRunOption(uint16_t outcome)
{
    if (g_run.unitCount != 1)
        return outcome;
    uint32_t opt = g_run.runOption;
    if (outcome == OUTCOME_FAILED) {
        if (opt == RUN_ERROR_INVALID)
            return OUTCOME_CONTINUE;
        if (opt == RUN_LOOP_ERROR_INVALID)
            return OUTCOME_REPEAT;
    } else if (outcome == OUTCOME_CONTINUE) {
        /* A routine outside the catalogue is never repeated: nothing would run, and the run
         * sequence would post itself the same two steps for ever. */
        if (opt == RUN_LOOP || opt == RUN_LOOP_ERROR_INVALID)
            return OUTCOME_REPEAT;
    }
    return outcome;
}

int RunRoutine(HWND wnd, uint16_t *outcome)
{
    uint32_t id = g_run.routineId;
    uint16_t result = OUTCOME_UNKNOWN_ROUTINE;
    uint16_t failKind = FAIL_CHECKS;
    RoutineFn fn = FindRoutine(id);
    if (!fn)
        goto done;
    if (fn(wnd, &failKind)) {
        g_run.routineId = id;
        result = OUTCOME_CONTINUE;
        NoteConnection(id, EQUIP_D8_PASSED);
    } else if (failKind == FAIL_STOPPED) {
        result = OUTCOME_STOPPED;
    } else if (IsComposite(id)) {
        /* A composite's failing drives are recorded; the run goes on with the next unit. */
        g_run.routineId = id;
        result = OUTCOME_CONTINUE;
    } else {
        result = OUTCOME_FAILED;
        /* D8's failure is its result, kept in the drive table; option 1 goes on whatever the
         * number of units. */
        if (NoteConnection(id, EQUIP_D8_FAILED) && g_run.runOption == RUN_ERROR_INVALID)
            result = OUTCOME_CONTINUE;
    }
done:
    *outcome = ApplyRunOption(result);
    return 1;
}
