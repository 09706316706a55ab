/* The launch block: the shared-memory block through which another application of the suite
 * starts this program for an automatic run and reads its outcome back ("DIAGAPI%08lx"). Its
 * words are little-endian. The program writes the block only through the functions here; the
 * launcher uses the same layout. */
#pragma once
#include "base/dkcmsg.h"

enum : size_t {
    LB_LAUNCH_MODE   = 0,
    LB_ROUTINE       = 1,
    LB_DRIVE_SELECT  = 4,       /* drive bitmap of the request, 80 words */
    LB_END_STATUS    = 335,
    LB_ERROR_FLAG    = 336,
    LB_ERROR_ROUTINE = 337,
    LB_ERROR_STEP    = 338,
    LB_ERROR_DETAIL  = 339,     /* 16 bytes */
    LB_DETAIL_LEN    = 16,
    LB_DRIVE_ERROR   = 369,     /* drive bitmap of the drives with an error, 80 words */
    LB_MIN_SIZE      = 689,
};
/* The block's name from the number on the command line. */
#define LB_NAME_FMT "DIAGAPI%08lx"
/* A launcher makes the block this size and marks the end status unset before the start, so
 * that it can tell a run that wrote no outcome. */
enum : size_t { LB_LAUNCHER_SIZE = 1024 };
enum : uint8_t { LB_END_STATUS_UNSET = 0xEE };
enum : uint8_t { LAUNCH_INTERACTIVE = 0x00, LAUNCH_AUTOMATIC = 0xFF, LAUNCH_AUTOMATIC_TMPDIR = 0x10 };
enum : uint8_t { LB_ERROR_SET = 0xFF, LB_STEP_START_FAILED = 0xEC };

/* launch.cpp */
/* The request's drive bitmap. */
void LaunchGetSelect(const uint8_t *lb, uint32_t select[ROW_COUNT]);
void LaunchPutSelect(uint8_t *lb, const uint32_t select[ROW_COUNT]);
/* The error being reported: routine, step and up to 16 detail bytes. */
void LaunchPutError(uint8_t *lb, uint8_t routine, uint8_t step, const uint8_t *detail, uint16_t count);
/* The outcome of a run: end status 0, the error flag when any drive has an error, the errors. */
void LaunchPutOutcome(uint8_t *lb, int anyError, const uint32_t errors[ROW_COUNT]);
void LaunchGetErrors(const uint8_t *lb, uint32_t errors[ROW_COUNT]);
/* The program could not open its window: step 0xEC, end status 0, error flag. */
void LaunchPutStartFailure(uint8_t *lb);
