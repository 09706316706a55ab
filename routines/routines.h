/* Test routines and results: catalogue and dispatcher, diagnosis framing, the routines C1 to
 * C5, C0 and CF, D0, D1, D2 and D8, D1's communication test window, error codes and their
 * reporting.
 *
 * Owns the run state g_run (units and rows under test, routine, run option, paths, the drive
 * table) and the error record g_err. Main thread only. A routine works on the unit at unitCursor
 * and on the rows whose rowSelected byte is 1; a failing row is reported and recorded at once,
 * which takes it out of rowSelected. What the shell decides comes down through
 * ConfigureRoutines, which passes the drive command layer its part. */
#pragma once
#include "drivecmd/drivecmd.h"

enum : uint32_t {
    UNIT_LIST_LEN  = 33,        /* at most 32 units and at least one end mark */
    UNIT_NONE      = 0xFF,      /* empty unitList slot */
    COMM_TEST_COMMANDS = 13,    /* check boxes of the communication test window */
};

/* equipState: D8 passed or failed on the unit (row 0), or the drive was found equipped by the
 * connection pre-check before D8. */
enum : uint16_t { EQUIP_D8_PASSED = 1, EQUIP_D8_FAILED = 2, EQUIP_D8_CHECKED = 3 };

struct DriveEntry {
    uint32_t selected;              /* 1 = chosen for the test */
    char     name[DRIVE_NAME_LEN];  /* location name; empty when not equipped */
    uint16_t equipState;            /* 3 equipped (D8 pre-check), 1 D8 passed, 2 D8 failed */
    uint16_t errorCode;             /* ErrorCode of the last run, 0 = none */
};

/* Kinds of status display (RunConfig showStatus). */
enum : uint16_t { STATUS_CLEAR = 0, STATUS_RUNNING = 1, STATUS_INITIALIZING = 5 };

/* What the shell decides: set by ConfigureRoutines at start and whenever a mode changes. */
struct RunConfig {
    HINSTANCE  instance;
    HWND       mainWnd;
    uint8_t    displayMode;         /* DISPLAY_INTERACTIVE or DISPLAY_AUTOMATIC */
    uint16_t   debugMode;           /* 0 normal, 1 debug, 2 second maintenance mode */
    uint32_t   tmpDirFlag;
    uint8_t   *launchBlock;         /* the automatic run's block, null when none */
    void     (*showStatus)(uint16_t kind);  /* refreshes the main window (kind 1: running) */
};

/* The run: filled by the shell's selection or the launch block, worked by the routines. */
struct RunState {
    RunConfig  cfg;
    uint32_t   routineId;
    uint32_t   runOption;
    uint8_t    unitList[UNIT_LIST_LEN];
    uint16_t   unitCount;
    uint16_t   unitCursor;
    uint32_t   driveBitmap[ROW_COUNT];
    uint8_t    rowSelected[ROW_COUNT];
    uint16_t   mpIdMain, mpIdAlt;   /* the two paths to the current unit */
    uint16_t   cluster;             /* D8: 0 or 1 */
    uint32_t   commandFlag[COMM_TEST_COMMANDS]; /* D1: the ticked commands, in check box order */
    uint32_t   clusterFlag;         /* D1: 1 when "Cluster 2" was chosen */
    DriveEntry driveTable[UNIT_COUNT][ROW_COUNT];
};
extern RunState g_run;

/* The error being reported, and what C2 and the pass-through replies leave for it. */
struct ErrorState {
    char       errorCodeText[64];
    char       errorContents[128];
    uint8_t    errorRoutine;
    uint8_t    errorStep;
    uint8_t    errorDetail[16];
    uint8_t    errorRecord[DIAG_RECORD_LEN];
    uint16_t   vendorMatch;         /* C2: table entry 1..3 of the last vendor compared, 4 none */
    uint32_t   passReplySeen;       /* 1 once a pass-through reply completed */
    uint8_t    passReplyTail[5];    /* its bytes 1058 and 1183..1186 */
};
extern ErrorState g_err;

/* What a routine run tells the run sequence. */
enum : uint16_t {
    OUTCOME_CONTINUE        = 12,
    OUTCOME_REPEAT_OLD      = 22,   /* treated like OUTCOME_REPEAT; never returned */
    OUTCOME_FAILED          = 32,
    OUTCOME_UNKNOWN_ROUTINE = 42,
    OUTCOME_STOPPED         = 52,
    OUTCOME_REPEAT          = 62,
};

/* Why a routine failed. */
enum : uint16_t {
    FAIL_REFUSED  = 0,   /* C5: Drive Read refused */
    FAIL_TIMEOUT  = 1,
    FAIL_STOPPED  = 3,
    FAIL_CHECKS   = 4,
};

/* Routine ids; each is also the string id of the routine's name. */
enum : uint8_t {
    ROUTINE_C0 = 0xC0, ROUTINE_C1 = 0xC1, ROUTINE_C2 = 0xC2, ROUTINE_C3 = 0xC3,
    ROUTINE_C4 = 0xC4, ROUTINE_C5 = 0xC5, ROUTINE_CF = 0xCF,
    ROUTINE_D0 = 0xD0, ROUTINE_D1 = 0xD1, ROUTINE_D2 = 0xD2, ROUTINE_D8 = 0xD8,
};

/* Run options. */
enum : uint32_t {
    RUN_ERROR_INVALID = 1, RUN_LOOP = 2, RUN_LOOP_ERROR_INVALID = 3, RUN_RESET = 8,
};

/* Error steps common to all routines (their texts are those of 0xEC00 | step). */
enum : uint8_t {
    STEP_BYPASS_CHECK = 0xE1, STEP_RESET_BYPASS = 0xE2, STEP_TIMEOUT = 0xE3, STEP_LIP = 0xE5,
    STEP_SET_BYPASS = 0xE6, STEP_INLINE = 0xE9,
};

/* Detail bytes of a report, its wait, and what marks a wrong or a missing row report. */
enum : uint16_t { REPORT_COUNT = 16, REPORT_WAIT_S = 10, DELAY_C3_S = 10 };
enum : uint8_t { DETAIL_WRONG_ROW = 0x76, DETAIL_NO_REPORT = 0x77 };

/* A routine: the main window as owner of its windows; 1 passed, 0 failed with *failKind. */
typedef uint32_t (*RoutineFn)(HWND wnd, uint16_t *failKind);

/* Dispatch.cpp */
/* Takes the shell's decisions and hands the drive command layer its part. Main thread. */
void ConfigureRoutines(const RunConfig &cfg);
/* The routines' failure kind of a command's transport status (time-out or cancelled). */
uint16_t FailKindOf(uint16_t status);
/* The routine of an id, or null when the catalogue has none. */
RoutineFn FindRoutine(uint32_t routineId);
/* Runs the routine of routineId on the current unit; always 1, the outcome in *outcome. */
int RunRoutine(HWND wnd, uint16_t *outcome);

/* Diag.cpp */
/* Opens the diagnosis of the current unit: 1 the routine may run, 0 the run ends. */
int StartDiag(HWND wnd, uint16_t *failKind);
/* Closes it: 1, or 0 after a failure or when no row is left. */
int EndDiag(HWND wnd, uint16_t *failKind);
/* Bypass state of a row on a path (0 mpIdMain, 1 mpIdAlt), kept from StartDiag to EndDiag. */
enum : uint8_t { BYPASS_NONE = 0, BYPASS_FOUND = 1, BYPASS_FAILED = 2 };
uint8_t BypassState(uint32_t row, uint32_t path);

/* Pass.cpp */
uint32_t RoutineC1(HWND wnd, uint16_t *failKind);
uint32_t RoutineC2(HWND wnd, uint16_t *failKind);
uint32_t RoutineC3(HWND wnd, uint16_t *failKind);
uint32_t RoutineC4(HWND wnd, uint16_t *failKind);
/* The current unit (0xFF when the list has none) and its first selected row (0 when none). */
uint8_t UnitUnderTest();
uint8_t FirstRowUnderTest();
/* Name of the current unit's first selected row (of row 0 when none); " " without a unit. */
const char *DriveUnderTestName();
/* Row bitmap of the selected rows; 0 when no row is selected. */
int BuildRowBitmap(uint32_t rows[3]);

/* Drive.cpp */
uint32_t RoutineD0(HWND wnd, uint16_t *failKind);
uint32_t RoutineD2(HWND wnd, uint16_t *failKind);
uint32_t RoutineD8(HWND wnd, uint16_t *failKind);

/* CommTest.cpp */
/* D1: the communication test window for the drive under test on mpIdMain; always 1. */
uint32_t RoutineD1(HWND wnd, uint16_t *failKind);
/* The window for a path and drive (unit << 8 | row); sends each ticked command once. */
void RunCommTest(HWND owner, uint16_t mp, uint16_t drive);

/* Composite.cpp */
uint32_t RoutineC5(HWND wnd, uint16_t *failKind);
uint32_t RoutineC0(HWND wnd, uint16_t *failKind);
uint32_t RoutineCF(HWND wnd, uint16_t *failKind);

/* Report.cpp */
/* String id of an ErrorCode's text: 0xEC00 | step for the common steps, else the code. */
UINT ErrorTextId(uint16_t code);
/* Text of an ErrorCode into errorContents (" " when the table has none). */
void LoadErrorText(uint16_t code);
/* Builds errorRecord, errorCodeText (or the launch block's error) and errorContents. */
void SetErrorInfo(uint16_t count);
/* DriveEntry(unit, row) errorCode = (errorRoutine << 8) | errorStep; the row leaves rowSelected.
 * A drive outside the table is not recorded. */
void RecordDriveError(uint32_t unit, uint32_t row);
/* Reports the current error for every selected row, one window each, and records each. */
void ReportAllRows(HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit, uint16_t count,
                   uint16_t seconds);
/* One time-out report (step 0xE3) for unit and row; every selected row recorded. */
void ReportTimeoutAll(HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit, uint8_t row,
                      uint16_t count);
/* One time-out report for one drive; nothing recorded. */
void ReportTimeoutOne(HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit, uint8_t row,
                      uint16_t count);
/* Detail bytes of a whole-command failure: [0..3] the last return code, [4..8] the status bytes
 * of the last completed pass-through reply. 0 when no such reply came yet ([4..8] then stay). */
int CopyReplyDetail();
/* Keeps the status bytes of a pass-through reply that just completed. */
void NotePassReply();
/* One per-row failure: detail set by the caller; record, report on path mp, record the drive. */
void ReportRow(HWND owner, uint16_t mp, uint8_t unit, uint8_t row);
