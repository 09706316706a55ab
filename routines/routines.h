/* Test routines and results: catalogue and dispatcher, diagnosis framing, error codes and
 * reporting. Main thread only; uses the AppContext directly. */
#pragma once
#include "shell/AppContext.h"
#include "drivecmd/drivecmd.h"

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

/* Dispatch.cpp */
/* Runs the routine of routineId on the current unit; always 1, the outcome in *outcome. */
int RunRoutine(HWND wnd, uint16_t *outcome);

/* Diag.cpp */
int StartDiag(HWND wnd, uint16_t *failKind);
int EndDiag(HWND wnd, uint16_t *failKind);

/* Report.cpp */
/* Text of an ErrorCode into errorContents (" " when the table has none). */
void LoadErrorText(uint16_t code);
/* Builds errorRecord, errorCodeText (or the launch block copy) and errorContents. */
void SetErrorInfo(uint16_t count);
